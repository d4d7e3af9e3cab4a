#include "grafimo/sim/options.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace grafimo::sim {

namespace {

struct BadOption : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const auto pos = s.find(sep);
        parts.push_back(s.substr(0, pos));
        if (pos == std::string_view::npos)
            return parts;
        s.remove_prefix(pos + 1);
    }
}

unsigned number(std::string_view opt, std::string_view text, unsigned max, std::string_view what)
{
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v > max)
        throw BadOption(std::string(opt) + ": " + std::string(what) + " must be a number from 0 to " +
                        std::to_string(max) + ", got '" + std::string(text) + "'");
    return v;
}

std::uint8_t address(std::string_view opt, std::string_view text)
{
    return static_cast<std::uint8_t>(number(opt, text, 255, "device address"));
}

// "DEVICE:A:B..." with exactly `fields` parts after the device (or between min and max).
std::vector<std::string_view> fieldsOf(std::string_view opt, std::string_view value, std::size_t min,
                                       std::size_t max, std::string_view shape)
{
    auto parts = split(value, ':');
    if (parts.size() < min + 1 || parts.size() > max + 1)
        throw BadOption(std::string(opt) + ": expected " + std::string(shape) + ", got '" + std::string(value) + "'");
    return parts;
}

// A record answer cut here leaves the date in the first piece and the values in the second.
constexpr unsigned kDefaultLogSplitBytes = 7;

BadDate badDateKind(std::string_view text)
{
    static constexpr std::pair<std::string_view, BadDate> kinds[] = {
        {"month0", BadDate::MonthZero}, {"month13", BadDate::Month13}, {"day", BadDate::DayPastMonth},
        {"hour24", BadDate::Hour24},    {"minute60", BadDate::Minute60},
    };
    for (const auto& [name, kind] : kinds)
        if (text == name)
            return kind;
    throw BadOption("--log-bad-date: kind must be month0, month13, day, hour24 or minute60, got '" +
                    std::string(text) + "'");
}

void addDevices(std::string_view list, std::vector<std::uint8_t>& out)
{
    for (std::string_view item : split(list, ',')) {
        const auto dash = item.find('-');
        if (dash == std::string_view::npos) {
            out.push_back(address("--devices", item));
            continue;
        }
        const unsigned first = address("--devices", item.substr(0, dash));
        const unsigned last = address("--devices", item.substr(dash + 1));
        if (first > last)
            throw BadOption("--devices: empty range '" + std::string(item) + "'");
        for (unsigned a = first; a <= last; ++a)
            out.push_back(static_cast<std::uint8_t>(a));
    }
}

}  // namespace

ParseResult parseToolOptions(std::span<const std::string_view> args)
{
    ToolOptions tool;
    bool turnaroundGiven = false;
    std::vector<std::uint8_t> devices;
    // Per-device settings, applied once the device list is known; the option name is kept
    // for the message when a device is not in the list.
    std::map<std::uint8_t, std::pair<Faults, LogSettings>> settings;
    std::vector<std::pair<std::uint8_t, std::string>> mentioned;

    try {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string_view opt = args[i];
            const auto value = [&]() -> std::string_view {
                if (i + 1 >= args.size())
                    throw BadOption(std::string(opt) + " needs a value");
                return args[++i];
            };
            const auto deviceSettings = [&](std::uint8_t a) -> std::pair<Faults, LogSettings>& {
                mentioned.emplace_back(a, std::string(opt));
                return settings[a];
            };

            if (opt == "--help" || opt == "-h") {
                tool.help = true;
            } else if (opt == "--link") {
                tool.server.linkPath = std::string(value());
            } else if (opt == "--port") {
                tool.server.portPath = std::string(value());
            } else if (opt == "--tcp") {
                tool.server.tcpListen = std::string(value());
            } else if (opt == "--drop-after") {
                tool.server.dropAfterAnswers = number(opt, value(), 1'000'000, "N");
                if (tool.server.dropAfterAnswers == 0)
                    throw BadOption("--drop-after: N must be at least 1");
            } else if (opt == "--devices") {
                addDevices(value(), devices);
            } else if (opt == "--pace") {
                tool.server.pace = true;
                if (!turnaroundGiven)
                    tool.server.turnaround = std::chrono::milliseconds(4);
            } else if (opt == "--turnaround") {
                tool.server.turnaround = std::chrono::milliseconds(number(opt, value(), 60'000, "delay"));
                turnaroundGiven = true;
            } else if (opt == "--verbose" || opt == "-v") {
                tool.verbose = true;
            } else if (opt == "--silent") {
                deviceSettings(address(opt, value())).first.silent = true;
            } else if (opt == "--bad-crc" || opt == "--garbage" || opt == "--exception") {
                const auto p = fieldsOf(opt, value(), 1, opt == "--garbage" ? 2 : 1,
                                        opt == "--garbage" ? "DEVICE:N[:before|after|instead]" : "DEVICE:N");
                Faults& f = deviceSettings(address(opt, p[0])).first;
                const unsigned every = number(opt, p[1], 1'000'000, "N");
                if (every == 0)
                    throw BadOption(std::string(opt) + ": N must be at least 1");
                if (opt == "--bad-crc") {
                    f.badCrcEvery = every;
                } else if (opt == "--exception") {
                    f.exceptionEvery = every;
                } else {
                    f.garbageEvery = every;
                    if (p.size() == 3) {
                        if (p[2] == "before")
                            f.garbageMode = GarbageMode::Before;
                        else if (p[2] == "after")
                            f.garbageMode = GarbageMode::After;
                        else if (p[2] == "instead")
                            f.garbageMode = GarbageMode::Instead;
                        else
                            throw BadOption("--garbage: placement must be before, after or instead, got '" +
                                            std::string(p[2]) + "'");
                    }
                }
            } else if (opt == "--late") {
                const auto p = fieldsOf(opt, value(), 1, 1, "DEVICE:MS");
                deviceSettings(address(opt, p[0])).first.lateMs = number(opt, p[1], 60'000, "delay");
            } else if (opt == "--chunks") {
                const auto p = fieldsOf(opt, value(), 2, 2, "DEVICE:BYTES:GAP_MS");
                Faults& f = deviceSettings(address(opt, p[0])).first;
                f.chunkBytes = number(opt, p[1], 255, "chunk size");
                if (f.chunkBytes == 0)
                    throw BadOption("--chunks: chunk size must be at least 1");
                f.chunkGapMs = number(opt, p[2], 60'000, "gap");
            } else if (opt == "--pieces") {
                const auto p = fieldsOf(opt, value(), 2, 2, "DEVICE:N:GAP_MS");
                Faults& f = deviceSettings(address(opt, p[0])).first;
                f.pieces = number(opt, p[1], 255, "piece count");
                if (f.pieces < 2)
                    throw BadOption("--pieces: N must be at least 2");
                f.chunkGapMs = number(opt, p[2], 60'000, "gap");
            } else if (opt == "--echo") {
                tool.server.echo = true;
            } else if (opt == "--log-count") {
                const auto p = fieldsOf(opt, value(), 1, 1, "DEVICE:COUNT");
                deviceSettings(address(opt, p[0])).second.count =
                    static_cast<std::uint16_t>(number(opt, p[1], 65535, "record count"));
            } else if (opt == "--log-interval") {
                const auto p = fieldsOf(opt, value(), 2, 2, "DEVICE:HOURS:MINUTES");
                LogSettings& l = deviceSettings(address(opt, p[0])).second;
                l.hours = static_cast<std::uint8_t>(number(opt, p[1], 255, "hours"));
                l.minutes = static_cast<std::uint8_t>(number(opt, p[2], 59, "minutes"));
            } else if (opt == "--log-state") {
                const auto p = fieldsOf(opt, value(), 1, 1, "DEVICE:on|off");
                LogSettings& l = deviceSettings(address(opt, p[0])).second;
                if (p[1] == "on")
                    l.state = 1;
                else if (p[1] == "off")
                    l.state = 0;
                else
                    l.state = static_cast<std::uint8_t>(number(opt, p[1], 255, "state (or on/off)"));
            } else if (opt == "--log-disorder") {
                deviceSettings(address(opt, value())).second.disorder = true;
            } else if (opt == "--log-bad-date") {
                const auto p = fieldsOf(opt, value(), 1, 2, "DEVICE:INDEX[:KIND]");
                LogSettings& l = deviceSettings(address(opt, p[0])).second;
                l.badDateIndex = static_cast<std::uint16_t>(number(opt, p[1], 65535, "record index"));
                if (p.size() == 3)
                    l.badDate = badDateKind(p[2]);
            } else if (opt == "--no-log") {
                deviceSettings(address(opt, value())).second.present = false;
            } else if (opt == "--log-bad-crc") {
                const auto p = fieldsOf(opt, value(), 1, 1, "DEVICE:N");
                Faults& f = deviceSettings(address(opt, p[0])).first;
                f.logBadCrcEvery = number(opt, p[1], 1'000'000, "N");
                if (f.logBadCrcEvery == 0)
                    throw BadOption("--log-bad-crc: N must be at least 1");
            } else if (opt == "--log-silent-first") {
                const auto p = fieldsOf(opt, value(), 1, 1, "DEVICE:K");
                deviceSettings(address(opt, p[0])).first.logSilentFirst =
                    number(opt, p[1], 1'000'000, "request count");
            } else if (opt == "--log-split") {
                const auto p = fieldsOf(opt, value(), 1, 2, "DEVICE:GAP_MS[:BYTES]");
                Faults& f = deviceSettings(address(opt, p[0])).first;
                f.logSplitGapMs = number(opt, p[1], 60'000, "gap");
                f.logSplitBytes = p.size() == 3 ? number(opt, p[2], 255, "first piece") : kDefaultLogSplitBytes;
                if (f.logSplitBytes == 0)
                    throw BadOption("--log-split: first piece must be at least 1 byte");
            } else {
                throw BadOption("unknown option '" + std::string(opt) + "'");
            }
        }
        if (tool.help)
            return {tool, {}};
        if (devices.empty())
            throw BadOption("no devices: give --devices, for example --devices 1,2,3");
        if (!tool.server.tcpListen.empty() && (!tool.server.portPath.empty() || !tool.server.linkPath.empty()))
            throw BadOption("--tcp serves on a socket: it takes neither --port nor --link");
        if (tool.server.dropAfterAnswers != 0 && tool.server.tcpListen.empty())
            throw BadOption("--drop-after needs --tcp");
        for (const auto& [a, opt] : mentioned)
            if (std::find(devices.begin(), devices.end(), a) == devices.end())
                throw BadOption(opt + ": device " + std::to_string(a) + " is not in --devices");
    } catch (const BadOption& e) {
        return {std::nullopt, e.what()};
    }

    for (std::uint8_t a : devices) {
        if (std::any_of(tool.server.devices.begin(), tool.server.devices.end(),
                        [a](const DeviceConfig& d) { return d.address == a; }))
            continue;
        DeviceConfig d;
        d.address = a;
        if (auto it = settings.find(a); it != settings.end()) {
            d.faults = it->second.first;
            d.log = it->second.second;
        }
        tool.server.devices.push_back(d);
    }
    return {std::move(tool), {}};
}

std::string toolUsage()
{
    return R"(Usage: grafimo-sim --link PATH --devices LIST [options]
       grafimo-sim --port DEVICE --devices LIST [options]
       grafimo-sim --tcp HOST:PORT --devices LIST [options]

Simulates measuring devices answering Modbus RTU requests (9600 8N1) on a
pseudo-terminal, on a serial port, or on a TCP socket as a serial device server
(gateway) does. The first line written to standard output is the terminal to
open, or with --tcp the port name to type: tcp://HOST:PORT. Serves until SIGINT or SIGTERM, then removes the link.

Line:
  --link PATH            make PATH a symbolic link to the pseudo-terminal
                         (an existing link there is replaced)
  --port DEVICE          serve on an existing serial port instead of a pty
  --tcp HOST:PORT        listen there instead (IPv6 host in brackets; port 0 takes
                         a free one) and serve one client at a time
  --drop-after N         with --tcp: close the connection after every N answers
  --devices LIST         device addresses 0..255, e.g. 1,2,3 or 1-4,7
  --pace                 send at the pace of a 9600-baud wire (1.04 ms a byte) and
                         answer 4 ms after a request, as a device on a wire does
  --turnaround MS        time from a request to its answer (default 0, 4 with --pace)
  --echo                 give every request byte back before the answer, as an
                         adapter that hears its own transmission does
  --verbose, -v          hex dump of the traffic on standard error

Faults (DEVICE is an address from --devices; N counts that device's answers):
  --silent DEVICE                 never answer
  --bad-crc DEVICE:N              corrupt the CRC of every Nth answer
  --late DEVICE:MS                answer MS milliseconds late
  --chunks DEVICE:BYTES:GAP       send answers in pieces of BYTES, GAP ms apart
  --pieces DEVICE:N:GAP           send every answer in N pieces of about equal
                                  length, GAP ms apart
  --garbage DEVICE:N[:WHERE]      random bytes with every Nth answer; WHERE is
                                  before, after or instead (default: in turn)
  --exception DEVICE:N            every Nth answer is a Modbus exception (02)

Device log:
  --log-count DEVICE:COUNT        records stored (default 100)
  --log-interval DEVICE:H:M       logging interval (default 0:15)
  --log-state DEVICE:on|off       logging switched on or off (default on)
  --log-disorder DEVICE           some records stored out of time order
  --log-bad-date DEVICE:INDEX[:KIND]
                                  the record at INDEX has an invalid date; KIND is
                                  month0 (default), month13, day (the day after
                                  the month's last), hour24 or minute60
  --no-log DEVICE                 a device without a log: codes 0xA0..0xA7 get
                                  no answer, live polls are answered
  --log-bad-crc DEVICE:N          corrupt the CRC of every Nth log answer
                                  (N counts the device's log answers only)
  --log-silent-first DEVICE:K     ignore the first K log requests, answer later ones
  --log-split DEVICE:GAP[:BYTES]  send log answers in two pieces GAP ms apart, the
                                  first BYTES long (default 7; shorter answers are
                                  cut before their CRC); for log answers this
                                  takes the place of --chunks

Live registers 0..5 (function 0x03): 0-1 signed whole part of value 1, 2 its
hundredths, 3 whole part of value 2, 4 its tenths, 5 the sample counter. The
values follow a triangle wave that advances by one step per answer.

  --help, -h             this text
Exit status: 0 after a signal, 1 when the line fails, 2 for bad options.
)";
}

}  // namespace grafimo::sim
