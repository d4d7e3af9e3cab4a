#pragma once
// The service manager's side channel (systemd's notify socket): the service says when it
// is ready, proves now and then that it still works, and says when it stops. Outside a
// service (no NOTIFY_SOCKET) every call does nothing.

#include <chrono>
#include <optional>
#include <string>

namespace grafimo::platform {

class ServiceNotifier {
public:
    // Reads the manager's settings from the environment (NOTIFY_SOCKET, WATCHDOG_USEC,
    // WATCHDOG_PID); the environment is left as it is.
    ServiceNotifier();

    // A notify socket was given: the manager listens.
    bool managed() const { return managed_; }
    // The period within which the manager wants WATCHDOG=1, when it watches this process.
    std::optional<std::chrono::microseconds> watchdogPeriod() const { return watchdog_; }

    // READY=1 with a status line.
    bool ready(const std::string& status);
    // WATCHDOG=1: the service works.
    bool watchdog();
    // STOPPING=1 with a status line.
    bool stopping(const std::string& status);
    // STATUS=: one line shown by `systemctl status`.
    bool status(const std::string& status);

private:
    bool send(const std::string& message);

    bool managed_ = false;
    std::optional<std::chrono::microseconds> watchdog_;
};

} // namespace grafimo::platform
