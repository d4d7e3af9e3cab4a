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

// A message in the language of the terminal: English, or Russian (see ui_language.h).
struct Say {
    bool russian = false;
    std::string operator()(std::string english, std::string inRussian) const
    {
        return russian ? std::move(inRussian) : std::move(english);
    }
};

// What a number stands for, in both languages.
struct What {
    const char* english;
    const char* russian;
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

unsigned number(const Say& say, std::string_view opt, std::string_view text, unsigned max, What what)
{
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v > max)
        throw BadOption(std::string(opt) + ": " +
                        say(std::string(what.english) + " must be a number from 0 to " + std::to_string(max) +
                                ", got '" + std::string(text) + "'",
                            std::string(what.russian) + " — число от 0 до " + std::to_string(max) +
                                ", а указано «" + std::string(text) + "»"));
    return v;
}

std::uint8_t address(const Say& say, std::string_view opt, std::string_view text)
{
    return static_cast<std::uint8_t>(number(say, opt, text, 255, {"device address", "адрес прибора"}));
}

// "DEVICE:A:B..." with exactly `fields` parts after the device (or between min and max).
std::vector<std::string_view> fieldsOf(const Say& say, std::string_view opt, std::string_view value, std::size_t min,
                                       std::size_t max, std::string_view shape)
{
    auto parts = split(value, ':');
    if (parts.size() < min + 1 || parts.size() > max + 1)
        throw BadOption(std::string(opt) + ": " +
                        say("expected " + std::string(shape) + ", got '" + std::string(value) + "'",
                            "нужно " + std::string(shape) + ", а указано «" + std::string(value) + "»"));
    return parts;
}

// A record answer cut here leaves the date in the first piece and the values in the second.
constexpr unsigned kDefaultLogSplitBytes = 7;

BadDate badDateKind(const Say& say, std::string_view text)
{
    static constexpr std::pair<std::string_view, BadDate> kinds[] = {
        {"month0", BadDate::MonthZero}, {"month13", BadDate::Month13}, {"day", BadDate::DayPastMonth},
        {"hour24", BadDate::Hour24},    {"minute60", BadDate::Minute60},
    };
    for (const auto& [name, kind] : kinds)
        if (text == name)
            return kind;
    throw BadOption(say("--log-bad-date: kind must be month0, month13, day, hour24 or minute60, got '" +
                            std::string(text) + "'",
                        "--log-bad-date: вид ошибки — month0, month13, day, hour24 или minute60, а указано «" +
                            std::string(text) + "»"));
}

void addDevices(const Say& say, std::string_view list, std::vector<std::uint8_t>& out)
{
    for (std::string_view item : split(list, ',')) {
        const auto dash = item.find('-');
        if (dash == std::string_view::npos) {
            out.push_back(address(say, "--devices", item));
            continue;
        }
        const unsigned first = address(say, "--devices", item.substr(0, dash));
        const unsigned last = address(say, "--devices", item.substr(dash + 1));
        if (first > last)
            throw BadOption(say("--devices: empty range '" + std::string(item) + "'",
                                "--devices: пустой диапазон «" + std::string(item) + "»"));
        for (unsigned a = first; a <= last; ++a)
            out.push_back(static_cast<std::uint8_t>(a));
    }
}

}  // namespace

ParseResult parseToolOptions(std::span<const std::string_view> args, bool russian)
{
    const Say say{russian};
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
                    throw BadOption(std::string(opt) + say(" needs a value", ": нужно значение"));
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
                tool.server.dropAfterAnswers = number(say, opt, value(), 1'000'000, {"N", "N"});
                if (tool.server.dropAfterAnswers == 0)
                    throw BadOption(say("--drop-after: N must be at least 1", "--drop-after: N должно быть не меньше 1"));
            } else if (opt == "--devices") {
                addDevices(say, value(), devices);
            } else if (opt == "--pace") {
                tool.server.pace = true;
                if (!turnaroundGiven)
                    tool.server.turnaround = std::chrono::milliseconds(4);
            } else if (opt == "--turnaround") {
                tool.server.turnaround = std::chrono::milliseconds(number(say, opt, value(), 60'000, {"delay", "задержка"}));
                turnaroundGiven = true;
            } else if (opt == "--verbose" || opt == "-v") {
                tool.verbose = true;
            } else if (opt == "--silent") {
                deviceSettings(address(say, opt, value())).first.silent = true;
            } else if (opt == "--bad-crc" || opt == "--garbage" || opt == "--exception") {
                const auto p = fieldsOf(say, opt, value(), 1, opt == "--garbage" ? 2 : 1,
                                        opt == "--garbage" ? "DEVICE:N[:before|after|instead]" : "DEVICE:N");
                Faults& f = deviceSettings(address(say, opt, p[0])).first;
                const unsigned every = number(say, opt, p[1], 1'000'000, {"N", "N"});
                if (every == 0)
                    throw BadOption(std::string(opt) + say(": N must be at least 1", ": N должно быть не меньше 1"));
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
                            throw BadOption(say("--garbage: placement must be before, after or instead, got '" +
                                                    std::string(p[2]) + "'",
                                                "--garbage: место — before, after или instead, а указано «" +
                                                    std::string(p[2]) + "»"));
                    }
                }
            } else if (opt == "--late") {
                const auto p = fieldsOf(say, opt, value(), 1, 1, "DEVICE:MS");
                deviceSettings(address(say, opt, p[0])).first.lateMs = number(say, opt, p[1], 60'000, {"delay", "задержка"});
            } else if (opt == "--chunks") {
                const auto p = fieldsOf(say, opt, value(), 2, 2, "DEVICE:BYTES:GAP_MS");
                Faults& f = deviceSettings(address(say, opt, p[0])).first;
                f.chunkBytes = number(say, opt, p[1], 255, {"chunk size", "размер куска"});
                if (f.chunkBytes == 0)
                    throw BadOption(say("--chunks: chunk size must be at least 1", "--chunks: размер куска должен быть не меньше 1"));
                f.chunkGapMs = number(say, opt, p[2], 60'000, {"gap", "пауза"});
            } else if (opt == "--pieces") {
                const auto p = fieldsOf(say, opt, value(), 2, 2, "DEVICE:N:GAP_MS");
                Faults& f = deviceSettings(address(say, opt, p[0])).first;
                f.pieces = number(say, opt, p[1], 255, {"piece count", "число частей"});
                if (f.pieces < 2)
                    throw BadOption(say("--pieces: N must be at least 2", "--pieces: N должно быть не меньше 2"));
                f.chunkGapMs = number(say, opt, p[2], 60'000, {"gap", "пауза"});
            } else if (opt == "--echo") {
                tool.server.echo = true;
            } else if (opt == "--log-count") {
                const auto p = fieldsOf(say, opt, value(), 1, 1, "DEVICE:COUNT");
                deviceSettings(address(say, opt, p[0])).second.count =
                    static_cast<std::uint16_t>(number(say, opt, p[1], 65535, {"record count", "число записей"}));
            } else if (opt == "--log-interval") {
                const auto p = fieldsOf(say, opt, value(), 2, 2, "DEVICE:HOURS:MINUTES");
                LogSettings& l = deviceSettings(address(say, opt, p[0])).second;
                l.hours = static_cast<std::uint8_t>(number(say, opt, p[1], 255, {"hours", "часы"}));
                l.minutes = static_cast<std::uint8_t>(number(say, opt, p[2], 59, {"minutes", "минуты"}));
            } else if (opt == "--log-state") {
                const auto p = fieldsOf(say, opt, value(), 1, 1, "DEVICE:on|off");
                LogSettings& l = deviceSettings(address(say, opt, p[0])).second;
                if (p[1] == "on")
                    l.state = 1;
                else if (p[1] == "off")
                    l.state = 0;
                else
                    l.state = static_cast<std::uint8_t>(number(say, opt, p[1], 255, {"state (or on/off)", "состояние (или on/off)"}));
            } else if (opt == "--log-disorder") {
                deviceSettings(address(say, opt, value())).second.disorder = true;
            } else if (opt == "--log-bad-date") {
                const auto p = fieldsOf(say, opt, value(), 1, 2, "DEVICE:INDEX[:KIND]");
                LogSettings& l = deviceSettings(address(say, opt, p[0])).second;
                l.badDateIndex = static_cast<std::uint16_t>(number(say, opt, p[1], 65535, {"record index", "номер записи"}));
                if (p.size() == 3)
                    l.badDate = badDateKind(say, p[2]);
            } else if (opt == "--no-log") {
                deviceSettings(address(say, opt, value())).second.present = false;
            } else if (opt == "--log-bad-crc") {
                const auto p = fieldsOf(say, opt, value(), 1, 1, "DEVICE:N");
                Faults& f = deviceSettings(address(say, opt, p[0])).first;
                f.logBadCrcEvery = number(say, opt, p[1], 1'000'000, {"N", "N"});
                if (f.logBadCrcEvery == 0)
                    throw BadOption(say("--log-bad-crc: N must be at least 1", "--log-bad-crc: N должно быть не меньше 1"));
            } else if (opt == "--log-silent-first") {
                const auto p = fieldsOf(say, opt, value(), 1, 1, "DEVICE:K");
                deviceSettings(address(say, opt, p[0])).first.logSilentFirst =
                    number(say, opt, p[1], 1'000'000, {"request count", "число запросов"});
            } else if (opt == "--log-split") {
                const auto p = fieldsOf(say, opt, value(), 1, 2, "DEVICE:GAP_MS[:BYTES]");
                Faults& f = deviceSettings(address(say, opt, p[0])).first;
                f.logSplitGapMs = number(say, opt, p[1], 60'000, {"gap", "пауза"});
                f.logSplitBytes = p.size() == 3 ? number(say, opt, p[2], 255, {"first piece", "первый кусок"}) : kDefaultLogSplitBytes;
                if (f.logSplitBytes == 0)
                    throw BadOption(say("--log-split: first piece must be at least 1 byte",
                                        "--log-split: первый кусок должен быть не короче 1 байта"));
            } else {
                throw BadOption(say("unknown option '" + std::string(opt) + "'", "неизвестный параметр «" + std::string(opt) + "»"));
            }
        }
        if (tool.help)
            return {tool, {}};
        if (devices.empty())
            throw BadOption(say("no devices: give --devices, for example --devices 1,2,3",
                                "нет приборов: укажите --devices, например --devices 1,2,3"));
        if (!tool.server.tcpListen.empty() && (!tool.server.portPath.empty() || !tool.server.linkPath.empty()))
            throw BadOption(say("--tcp serves on a socket: it takes neither --port nor --link",
                                "--tcp работает через сокет: --port и --link с ним не указываются"));
        if (tool.server.dropAfterAnswers != 0 && tool.server.tcpListen.empty())
            throw BadOption(say("--drop-after needs --tcp", "--drop-after действует только вместе с --tcp"));
        for (const auto& [a, opt] : mentioned)
            if (std::find(devices.begin(), devices.end(), a) == devices.end())
                throw BadOption(opt + say(": device " + std::to_string(a) + " is not in --devices",
                                          ": прибора " + std::to_string(a) + " нет в списке --devices"));
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

std::string toolUsage(bool russian)
{
    if (russian)
        return R"(Использование: grafimo-sim --link ПУТЬ --devices СПИСОК [параметры]
               grafimo-sim --port УСТРОЙСТВО --devices СПИСОК [параметры]
               grafimo-sim --tcp УЗЕЛ:ПОРТ --devices СПИСОК [параметры]

Имитирует измерительные приборы, которые отвечают на запросы Modbus RTU (9600 8N1)
на псевдотерминале, на последовательном порту или на TCP-сокете, как это делает
сервер последовательных устройств (шлюз). Первая строка в стандартном выводе — это
терминал, который нужно открыть, а с --tcp — имя порта для ввода: tcp://УЗЕЛ:ПОРТ.
Работает до сигнала SIGINT или SIGTERM, затем удаляет ссылку.

Линия:
  --link ПУТЬ            сделать ПУТЬ символьной ссылкой на псевдотерминал
                         (прежняя ссылка на этом месте заменяется)
  --port УСТРОЙСТВО      работать на имеющемся последовательном порту
  --tcp УЗЕЛ:ПОРТ        принимать подключения там (адрес IPv6 в скобках; порт 0 —
                         любой свободный) и обслуживать одного клиента за раз
  --drop-after N         с --tcp: закрывать соединение после каждых N ответов
  --devices СПИСОК       адреса приборов 0..255, например 1,2,3 или 1-4,7
  --pace                 передавать со скоростью линии 9600 бод (1,04 мс на байт)
                         и отвечать через 4 мс после запроса, как прибор на линии
  --turnaround МС        время от запроса до ответа (по умолчанию 0, с --pace 4)
  --echo                 возвращать каждый байт запроса перед ответом, как
                         адаптер, который слышит собственную передачу
  --verbose, -v          шестнадцатеричный вывод обмена в стандартный поток ошибок

Неисправности (ПРИБОР — адрес из --devices; N считает ответы этого прибора):
  --silent ПРИБОР                 никогда не отвечать
  --bad-crc ПРИБОР:N              портить CRC каждого N-го ответа
  --late ПРИБОР:МС                отвечать с опозданием на МС миллисекунд
  --chunks ПРИБОР:БАЙТ:ПАУЗА      посылать ответы кусками по БАЙТ байт с паузой
                                  ПАУЗА мс
  --pieces ПРИБОР:N:ПАУЗА         посылать каждый ответ N частями примерно равной
                                  длины с паузой ПАУЗА мс
  --garbage ПРИБОР:N[:ГДЕ]        случайные байты с каждым N-м ответом; ГДЕ —
                                  before (до), after (после) или instead (вместо);
                                  по умолчанию по очереди
  --exception ПРИБОР:N            каждый N-й ответ — исключение Modbus (02)

Протокол прибора:
  --log-count ПРИБОР:ЧИСЛО        число записей (по умолчанию 100)
  --log-interval ПРИБОР:Ч:М       интервал протоколирования (по умолчанию 0:15)
  --log-state ПРИБОР:on|off       протоколирование включено или выключено
                                  (по умолчанию включено)
  --log-disorder ПРИБОР           часть записей хранится не по порядку времени
  --log-bad-date ПРИБОР:НОМЕР[:ВИД]
                                  у записи НОМЕР недопустимая дата; ВИД —
                                  month0 (по умолчанию), month13, day (день после
                                  последнего дня месяца), hour24 или minute60
  --no-log ПРИБОР                 прибор без протокола: на коды 0xA0..0xA7 ответа
                                  нет, на опрос текущих значений ответ есть
  --log-bad-crc ПРИБОР:N          портить CRC каждого N-го ответа протокола
                                  (N считает только ответы протокола)
  --log-silent-first ПРИБОР:K     не отвечать на первые K запросов протокола,
                                  на следующие отвечать
  --log-split ПРИБОР:ПАУЗА[:БАЙТ] посылать ответы протокола двумя кусками с паузой
                                  ПАУЗА мс, первый длиной БАЙТ (по умолчанию 7;
                                  более короткие ответы режутся перед CRC); для
                                  ответов протокола заменяет --chunks

Текущие регистры 0..5 (функция 0x03): 0-1 — целая часть значения 1 со знаком,
2 — её сотые, 3 — целая часть значения 2, 4 — её десятые, 5 — счётчик замеров.
Значения идут по треугольной волне и сдвигаются на шаг с каждым ответом.

  --help, -h             этот текст
Код завершения: 0 после сигнала, 1 при отказе линии, 2 при ошибке в параметрах.
)";
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
