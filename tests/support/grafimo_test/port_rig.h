#pragma once
// A serial port with its link and running receive thread, as the program holds them while
// its port is open; the thread tests start the poll or the log transfer on top of it.
#include "Readthread.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace grafimo::test {

struct PortRig {
    explicit PortRig(const std::string& ttyPath)
    {
        EXPECT_EQ(port.open(ttyPath), platform::SerialPort::OpenStep::Ok);
        rx = std::make_unique<ReadThread>(port, link);
        rx->Start();
    }
    ~PortRig() { closePort(); }
    PortRig(const PortRig&) = delete;
    PortRig& operator=(const PortRig&) = delete;

    // As the program closes its port: the receive thread told to end, the port closed
    // (which wakes it), then waited for.
    void closePort()
    {
        if (!rx)
            return;
        rx->Terminate();
        port.close();
        rx->WaitFor();
        rx.reset();
    }

    platform::SerialPort port;
    Link link;
    std::unique_ptr<ReadThread> rx;
};

} // namespace grafimo::test
