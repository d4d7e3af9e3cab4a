// A gateway port name as stored in grafimo.cfg, any bytes: a name that is taken gives a
// host and a port that name the same gateway again, and one that is refused says why.

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "grafimo/port_name.h"

using namespace grafimo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    if (!isTcpPortName(name))
        return 0;
    const TcpPortName parsed = parseTcpPortName(name);
    if (!parsed.ok())
        return 0;
    FUZZ_CHECK(!parsed.host.empty() && parsed.port != 0);
    const TcpPortName again = parseTcpPortName(std::string(kTcpPortPrefix) + tcpEndpointText(parsed));
    FUZZ_CHECK(again.ok() && again.host == parsed.host && again.port == parsed.port);
    return 0;
}
