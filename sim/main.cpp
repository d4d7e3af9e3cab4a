// grafimo-sim: simulated measuring devices on a pseudo-terminal or a serial port.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "grafimo/sim/options.h"
#include "grafimo/sim/server.h"
#include "grafimo/ui_language.h"

int main(int argc, char** argv)
{
    using namespace grafimo::sim;

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const bool russian = grafimo::russianLocale();
    ParseResult parsed = parseToolOptions(args, russian);
    if (!parsed.options) {
        std::fprintf(stderr, russian ? "grafimo-sim: %s\nСм. «grafimo-sim --help».\n" : "grafimo-sim: %s\nTry 'grafimo-sim --help'.\n",
                     parsed.error.c_str());
        return 2;
    }
    ToolOptions& tool = *parsed.options;
    if (tool.help) {
        std::fputs(toolUsage(russian).c_str(), stdout);
        return 0;
    }

    // Signals are taken by sigwait below; blocked before any thread exists so none of them
    // is interrupted by one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (tool.verbose) {
        tool.server.trace = [](std::string_view line) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        };
    }

    PtyServer server(tool.server);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "grafimo-sim: %s\n", e.what());
        return 1;
    }
    std::printf("%s\n", server.ttyPath().c_str());
    std::fflush(stdout);
    if (tool.verbose) {
        std::string list;
        for (const DeviceConfig& d : tool.server.devices)
            list += (list.empty() ? "" : ",") + std::to_string(d.address);
        std::fprintf(stderr, "grafimo-sim: devices %s on %s%s%s\n", list.c_str(), server.ttyPath().c_str(),
                     server.linkPath().empty() ? "" : " via ", server.linkPath().c_str());
    }

    std::thread signalWaiter([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server.stop();
    });
    server.waitUntilStopped();
    // When the line failed, the waiter is still in sigwait: hand it the signal it waits for.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    server.stop();

    if (const auto err = server.error()) {
        std::fprintf(stderr, "grafimo-sim: %s\n", err->c_str());
        return 1;
    }
    return 0;
}
