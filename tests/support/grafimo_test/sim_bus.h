#pragma once
// The simulated bus the tests poll: plain devices that answer after a wire's turnaround,
// since a device on a wire cannot start before the request has left the line.
#include "grafimo/sim/server.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace grafimo::test {

inline sim::ServerConfig simDevices(const std::vector<std::uint8_t>& addresses,
                                    std::chrono::milliseconds turnaround = std::chrono::milliseconds(4))
{
    sim::ServerConfig config;
    config.turnaround = turnaround;
    for (std::uint8_t a : addresses) {
        sim::DeviceConfig d;
        d.address = a;
        config.devices.push_back(d);
    }
    return config;
}

} // namespace grafimo::test
