#include "termination_signals.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace grafimo::logger {

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal))
{
    // A gateway that hangs up must not end the process on the next write.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return;
    signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (signalFd_ < 0 || wakeFd_ < 0) {
        // Back to the default action: ended at once, which still keeps every file.
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    ok_ = true;
    thread_ = std::thread([this] { run(); });
}

TerminationSignals::~TerminationSignals()
{
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (signalFd_ >= 0)
        ::close(signalFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void TerminationSignals::run()
{
    ::pthread_setname_np(::pthread_self(), "grafimo-signals");
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        signalfd_siginfo info{};
        if (::read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        const int sig = static_cast<int>(info.ssi_signo);
        int none = 0;
        received_.compare_exchange_strong(none, sig);
        onSignal_(sig);
    }
}

} // namespace grafimo::logger
