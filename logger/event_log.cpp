#include "event_log.h"

#include <cstring>
#include <exception>
#include <utility>

#include "grafimo/file_fault.h"

namespace grafimo::logger {

namespace {

// The gateway connector words its refusals for the window (Russian); the log keeps to one
// language.
std::string reasonInEnglish(const std::string& reason)
{
    static const std::pair<const char*, const char*> known[] = {
        {"соединение отклонено", "connection refused"},
        {"узел недоступен", "host unreachable"},
        {"сеть недоступна", "network unreachable"},
        {"соединение сброшено", "connection reset"},
    };
    for (const auto& [russian, english] : known)
        if (reason == russian)
            return english;
    const std::string noAnswer = "нет ответа за ";
    if (reason.rfind(noAnswer, 0) == 0) {
        std::string rest = reason.substr(noAnswer.size());
        if (const auto unit = rest.find(" с"); unit != std::string::npos)
            return "no answer within " + rest.substr(0, unit) + " s";
    }
    return reason;
}

std::string addressList(const std::vector<std::uint8_t>& devices)
{
    std::string out;
    for (std::uint8_t a : devices)
        out += (out.empty() ? "" : ", ") + std::to_string(a);
    return out;
}

std::string faultText(const std::exception_ptr& fault)
{
    try {
        if (fault)
            std::rethrow_exception(fault);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "unknown fault";
}

} // namespace

std::string describeOpenFailure(const session::OpenFailure& failure)
{
    using Step = platform::SerialPort::OpenStep;
    std::string line = "cannot open " + failure.name + ": ";
    if (failure.refused)
        return "cannot use the port name " + failure.name + ": " + reasonInEnglish(failure.reason);
    if (!failure.reason.empty())
        return line + reasonInEnglish(failure.reason);
    switch (failure.step) {
    case Step::OpenFailed:
        return line + (failure.error ? std::strerror(failure.error) : "not a port this program opens");
    case Step::GetAttrFailed: return line + "cannot read its line settings (not a serial port?)";
    case Step::SetAttrFailed: return line + "cannot set 9600 baud 8N1";
    case Step::TimeoutsFailed: return line + "cannot set its timeouts";
    case Step::Ok: break;
    }
    return line + "unknown failure";
}

EventLog::EventLog(std::FILE* out, bool journal) : out_(out), journal_(journal) {}

void EventLog::say(Priority priority, const std::string& line)
{
    std::lock_guard lock(mutex_);
    if (journal_)
        std::fprintf(out_, "<%d>%s\n", static_cast<int>(priority), line.c_str());
    else
        std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void EventLog::error(const std::string& line)
{
    say(Error, line);
}

void EventLog::warning(const std::string& line)
{
    say(Warning, line);
}

void EventLog::notice(const std::string& line)
{
    say(Notice, line);
}

void EventLog::started(const std::string& folder, const std::string& port, const std::vector<std::uint8_t>& devices,
                       const std::filesystem::path& historyDir)
{
    deviceCount_ = devices.size();
    say(Info, "started in " + folder + ": port " + port + ", " + std::to_string(devices.size()) +
                  (devices.size() == 1 ? " device (" : " devices (") + addressList(devices) + "), history in " +
                  historyDir.string());
}

void EventLog::stopped()
{
    const unsigned silent = silentCount_.load(std::memory_order_relaxed);
    say(Info, "stopped: " + std::to_string(stored()) + " samples stored, " + std::to_string(notStored()) +
                  " not stored, " + std::to_string(silent) + " of " + std::to_string(deviceCount_) +
                  " devices silent");
}

void EventLog::portOpened(const std::string& name)
{
    lastLinkFailure_.clear();
    say(Info, "port opened: " + name);
}

void EventLog::portOpenFailed(const session::OpenFailure& failure)
{
    std::string line = describeOpenFailure(failure);
    if (line == lastLinkFailure_)
        return;
    lastLinkFailure_ = line;
    if (!failure.refused)
        line += "; trying again";
    say(Warning, line);
}

void EventLog::portLost(const std::string& name, session::LossReason reason)
{
    lastLinkFailure_.clear();
    say(Warning, "port lost: " + name +
                     (reason == session::LossReason::NoAnswer ? " (no device answered for a while)" : "") +
                     "; looking for it again");
}

void EventLog::portBack(const std::string& name)
{
    lastLinkFailure_.clear();
    say(Notice, "port back: " + name);
}

void EventLog::pollingStopped(std::exception_ptr fault)
{
    say(Error, "polling stopped: " + faultText(fault));
}

void EventLog::sampleStored(std::uint8_t address, const HistoryRecord&, bool stored)
{
    if (!stored) {
        notStored_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    stored_.fetch_add(1, std::memory_order_relaxed);
    if (writeFailing_[address]) {
        writeFailing_[address] = false;
        say(Notice, "device " + std::to_string(address) + ": history written again");
    }
}

void EventLog::historyWriteFailed(std::uint8_t address, const std::string& path)
{
    writeFailing_[address] = true;
    say(Error, "device " + std::to_string(address) + ": cannot write " + path + "; polling goes on");
}

void EventLog::diskSpaceLow(bool low, std::uint64_t freeBytes)
{
    const std::string mib = std::to_string(freeBytes >> 20) + " MiB free";
    say(low ? Warning : Notice, low ? "disk low: " + mib + " for the history files" : "disk space back: " + mib);
}

void EventLog::deviceSilent(std::uint8_t address, unsigned misses)
{
    if (!silent_[address]) {
        silent_[address] = true;
        silentCount_.fetch_add(1, std::memory_order_relaxed);
    }
    say(Warning, "device " + std::to_string(address) + " silent: no answer to " + std::to_string(misses) +
                     " polls in a row");
}

void EventLog::deviceBack(std::uint8_t address)
{
    if (silent_[address]) {
        silent_[address] = false;
        silentCount_.fetch_sub(1, std::memory_order_relaxed);
    }
    say(Notice, "device " + std::to_string(address) + " answers again");
}

void EventLog::runMarkerFailed(const FileFault& fault)
{
    say(Warning, describe(fault) + " (the samples are kept; only the next window start cannot date this run)");
}

} // namespace grafimo::logger
