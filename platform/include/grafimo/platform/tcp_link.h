#pragma once
// The way to a gateway's bus: a TCP connection made off the caller's thread (the name is
// resolved there too), with a bounded time and a cancel that returns at once. The
// connected socket is then carried by SerialPort::openStream(), so the receive thread and
// the exchange work on it exactly as on a serial device.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace grafimo::platform {

// A connected socket, closed with the object unless released.
class ConnectedSocket {
public:
    ConnectedSocket() = default;
    explicit ConnectedSocket(int fd) : fd_(fd) {}
    ~ConnectedSocket();
    ConnectedSocket(ConnectedSocket&& other) noexcept : fd_(other.release()) {}
    ConnectedSocket& operator=(ConnectedSocket&& other) noexcept;
    ConnectedSocket(const ConnectedSocket&) = delete;
    ConnectedSocket& operator=(const ConnectedSocket&) = delete;
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

struct TcpConnectResult {
    ConnectedSocket socket;  // valid on success
    std::string reason;      // why it failed (Russian, UTF-8); empty on success
};

// One connection attempt at a time. A new attempt never opens its socket while the socket
// of an earlier, cancelled one is still open, so the gateway never sees two connections
// from this program.
class TcpConnector {
public:
    static constexpr std::chrono::milliseconds ConnectTimeout{3000};
    // Keepalive on the connected socket: a gateway that vanished is noticed after the
    // first probe at 10 s of quiet and three unanswered ones.
    static constexpr int KeepIdleSeconds = 10;
    static constexpr int KeepProbes = 3;
    static constexpr int KeepIntervalSeconds = 5;

    using Done = std::function<void(TcpConnectResult)>;

    TcpConnector();
    ~TcpConnector();  // cancels
    TcpConnector(const TcpConnector&) = delete;
    TcpConnector& operator=(const TcpConnector&) = delete;

    // Resolves `host` and connects to `port` on a thread of its own, giving up after
    // `timeout`; `done` is called once on that thread with the outcome, unless cancel()
    // came first. An attempt under way is cancelled first.
    void start(const std::string& host, std::uint16_t port, Done done,
               std::chrono::milliseconds timeout = ConnectTimeout);
    // Returns at once; after it, the current attempt's `done` is never called and its
    // socket is closed by its thread (a resolver still busy finishes in the background).
    void cancel();

    struct Attempt;  // shared with the attempt's thread

private:
    struct Gate;
    std::shared_ptr<Gate> gate_;
    std::mutex mutex_;
    std::shared_ptr<Attempt> current_;
};

// TCP_NODELAY, keepalive as above and a matching limit for unacknowledged data, so every
// way a gateway can vanish ends in an error on the socket. False if a setting failed.
bool setBusSocketOptions(int fd);

} // namespace grafimo::platform
