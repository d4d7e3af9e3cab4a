#pragma once
// What the service manager hears from the recorder: READY once it polls (or looks for its
// port), a status line per change of the link, and WATCHDOG=1 only while the session shows
// life. With the link open that is the poll thread: an exchange begun within the last
// watchdog period; a stuck poll thread stops the feed and the manager restarts the service.
// With the link down the owner loop, which retries it, is what must live.

#include <chrono>
#include <cstddef>
#include <string>

#include "grafimo/platform/service_notify.h"
#include "grafimo/session/bus_session.h"

namespace grafimo::logger {

using SteadyTime = std::chrono::steady_clock::time_point;

// The rule, apart from the clock: `lastAttempt` the session's last exchange begun, `linkUp`
// when the link last opened (a poll thread just started has had no time yet).
bool sessionShowsLife(session::LinkState state, SteadyTime lastAttempt, SteadyTime linkUp, SteadyTime now,
                      std::chrono::microseconds period);

class ServiceWatch final : public session::SessionEvents {
public:
    ServiceWatch(session::BusSession& session, platform::ServiceNotifier& notifier, session::SessionExecutor& owner,
                 std::size_t devices);

    // READY=1 and, when the manager watches, the first watchdog tick. Owner thread.
    void ready();
    void stopping();

    void portOpened(const std::string& name) override;
    void portOpenFailed(const session::OpenFailure& failure) override;
    void portLost(const std::string& name, session::LossReason reason) override;
    void portBack(const std::string& name) override;
    void pollingStopped(std::exception_ptr fault) override;

private:
    void tick();
    std::string pollingStatus(const std::string& name) const;

    session::BusSession& session_;
    platform::ServiceNotifier& notifier_;
    session::SessionExecutor& owner_;
    std::size_t devices_;
    SteadyTime linkUp_{}; // owner thread
    bool stopping_ = false;
};

} // namespace grafimo::logger
