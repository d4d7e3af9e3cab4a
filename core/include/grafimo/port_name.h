#pragma once
// Port names that lead to a gateway rather than a serial device: "tcp://HOST:PORT", HOST a
// name, an IPv4 address or an IPv6 address in brackets. The bus's bytes pass through
// the gateway's TCP connection unchanged.

#include <cstdint>
#include <string>
#include <string_view>

namespace grafimo {

inline constexpr std::string_view kTcpPortPrefix = "tcp://";

struct TcpPortName {
    std::string host;      // without the brackets of an IPv6 address
    std::uint16_t port = 0;
    std::string error;     // empty when the name is good; otherwise the user's message
    bool ok() const { return error.empty(); }
};

// True when the name starts with "tcp://" (any case): it is parsed, never opened as a file.
bool isTcpPortName(std::string_view name);

// Splits a "tcp://" name. A name with no port, a port of 0 or over 65535, an empty host,
// an IPv6 address without brackets or a character that no host name holds gives an error
// text (Russian, UTF-8) instead.
TcpPortName parseTcpPortName(std::string_view name);

// "host:port", with an IPv6 host in brackets: how the gateway is named in messages.
std::string tcpEndpointText(const TcpPortName& name);

} // namespace grafimo
