#include "grafimo/platform/service_notify.h"

#include <cstdint>
#include <cstdlib>

#include <systemd/sd-daemon.h>

namespace grafimo::platform {

namespace {

// A status is one line; a newline in a port name or folder would start a new assignment.
std::string oneLine(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}

} // namespace

ServiceNotifier::ServiceNotifier()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    managed_ = socket && *socket;
    std::uint64_t usec = 0;
    // > 0 only when WATCHDOG_USEC is set and WATCHDOG_PID, if set, is this process.
    if (managed_ && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        watchdog_ = std::chrono::microseconds(usec);
}

bool ServiceNotifier::send(const std::string& message)
{
    if (!managed_)
        return false;
    return sd_notify(0, message.c_str()) > 0;
}

bool ServiceNotifier::ready(const std::string& status)
{
    return send("READY=1\nSTATUS=" + oneLine(status));
}

bool ServiceNotifier::watchdog()
{
    return send("WATCHDOG=1");
}

bool ServiceNotifier::stopping(const std::string& status)
{
    return send("STOPPING=1\nSTATUS=" + oneLine(status));
}

bool ServiceNotifier::status(const std::string& status)
{
    return send("STATUS=" + oneLine(status));
}

} // namespace grafimo::platform
