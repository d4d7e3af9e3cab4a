#include "service_watch.h"

#include <algorithm>

#include "event_log.h"

namespace grafimo::logger {

bool sessionShowsLife(session::LinkState state, SteadyTime lastAttempt, SteadyTime linkUp, SteadyTime now,
                      std::chrono::microseconds period)
{
    if (state != session::LinkState::Open)
        return true;
    const SteadyTime last = std::max(lastAttempt, linkUp);
    return now - last <= period;
}

ServiceWatch::ServiceWatch(session::BusSession& session, platform::ServiceNotifier& notifier,
                           session::SessionExecutor& owner, std::size_t devices)
    : session_(session), notifier_(notifier), owner_(owner), devices_(devices)
{
}

std::string ServiceWatch::pollingStatus(const std::string& name) const
{
    return "polling " + std::to_string(devices_) + (devices_ == 1 ? " device on " : " devices on ") + name;
}

void ServiceWatch::ready()
{
    const std::string status = session_.isOpen() ? pollingStatus(session_.portName())
                                                 : "waiting for " + session_.portName();
    notifier_.ready(status);
    if (notifier_.watchdogPeriod())
        tick();
}

void ServiceWatch::stopping()
{
    stopping_ = true;
    notifier_.stopping("stopping");
}

void ServiceWatch::tick()
{
    if (stopping_)
        return;
    const auto period = *notifier_.watchdogPeriod();
    if (sessionShowsLife(session_.state(), session_.lastExchangeAttempt(), linkUp_, std::chrono::steady_clock::now(),
                         period))
        notifier_.watchdog();
    // Twice a period, so one late tick never misses the manager's deadline; a period given
    // absurdly short must not turn the loop into a spin.
    const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(period / 2);
    owner_.postAfter(std::max(half, std::chrono::milliseconds(50)), [this] { tick(); });
}

void ServiceWatch::portOpened(const std::string& name)
{
    linkUp_ = std::chrono::steady_clock::now();
    notifier_.status(pollingStatus(name));
}

void ServiceWatch::portOpenFailed(const session::OpenFailure& failure)
{
    notifier_.status("waiting: " + describeOpenFailure(failure));
}

void ServiceWatch::portLost(const std::string& name, session::LossReason)
{
    notifier_.status("port lost: " + name + "; looking for it again");
}

void ServiceWatch::portBack(const std::string& name)
{
    linkUp_ = std::chrono::steady_clock::now();
    notifier_.status(pollingStatus(name));
}

void ServiceWatch::pollingStopped(std::exception_ptr)
{
    notifier_.status("polling stopped by a fault");
}

} // namespace grafimo::logger
