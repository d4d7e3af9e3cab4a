#pragma once
// A serial port with its link and running receive thread, as the program holds them while
// its port is open; the thread tests start the poll or the log transfer on top of it.
#include "Readthread.h"
#include "grafimo/platform/tcp_link.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace grafimo::test {

// Opens a terminal, or the simulator's "tcp://127.0.0.1:PORT" as the program carries a
// gateway's connection.
inline platform::SerialPort::OpenStep openLine(platform::SerialPort& port, const std::string& path)
{
    if (!path.starts_with("tcp://"))
        return port.open(path);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(path.substr(path.rfind(':') + 1))));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0
        || !platform::setBusSocketOptions(fd)) {
        if (fd >= 0)
            ::close(fd);
        return platform::SerialPort::OpenStep::OpenFailed;
    }
    // As the program's connector hands it over: every call on it returns at once.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return port.openStream(fd, path);
}

struct PortRig {
    explicit PortRig(const std::string& ttyPath)
    {
        EXPECT_EQ(openLine(port, ttyPath), platform::SerialPort::OpenStep::Ok);
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
