#include "grafimo/port_name.h"

#include <gtest/gtest.h>

using namespace grafimo;

// Every name the port dialog may be given, what it splits into, and the refusals: one row
// each. A refused row names a word of its message.
TEST(PortName, SplitsGoodNamesAndRefusesBadOnesWithAMessage)
{
    struct Row {
        const char* name;
        const char* host;     // nullptr: refused
        unsigned port;
        const char* endpoint; // or a word of the refusal
    };
    const Row rows[] = {
        {"tcp://192.168.1.50:4001", "192.168.1.50", 4001, "192.168.1.50:4001"},
        {"tcp://gw-3.plant.local:502", "gw-3.plant.local", 502, "gw-3.plant.local:502"},
        {"TCP://Gateway:1", "Gateway", 1, "Gateway:1"},
        {"tcp://[::1]:65535", "::1", 65535, "[::1]:65535"},
        {"tcp://[fe80::1%eth0]:23", "fe80::1%eth0", 23, "[fe80::1%eth0]:23"},
        {"tcp://host:00502", "host", 502, "host:502"},
        {"tcp://192.168.1.50", nullptr, 0, "номер порта"},
        {"tcp://[::1]", nullptr, 0, "номер порта"},
        {"tcp://host:0", nullptr, 0, "от 1 до 65535"},
        {"tcp://host:65536", nullptr, 0, "от 1 до 65535"},
        {"tcp://host:-1", nullptr, 0, "от 1 до 65535"},
        {"tcp://host:502/", nullptr, 0, "от 1 до 65535"},
        {"tcp://:502", nullptr, 0, "не указан узел"},
        {"tcp://", nullptr, 0, "не указан узел"},
        {"tcp://::1:502", nullptr, 0, "квадратных скобках"},
        {"tcp://[::1:502", nullptr, 0, "скобки"},
        {"tcp://[::1]502", nullptr, 0, "двоеточие"},
        {"tcp://[10.0.0.1]:502", nullptr, 0, "IPv6"},
        {"tcp://my host:502", nullptr, 0, "символ"},
        {"/dev/ttyUSB0", nullptr, 0, "tcp://"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TcpPortName parsed = parseTcpPortName(row.name);
        if (row.host) {
            ASSERT_TRUE(parsed.ok()) << parsed.error;
            EXPECT_EQ(parsed.host, row.host);
            EXPECT_EQ(parsed.port, row.port);
            EXPECT_EQ(tcpEndpointText(parsed), row.endpoint);
        } else {
            EXPECT_FALSE(parsed.ok());
            EXPECT_NE(parsed.error.find(row.endpoint), std::string::npos) << parsed.error;
        }
    }
    // Only the prefix decides whether a name is a gateway's; a device path never is.
    EXPECT_TRUE(isTcpPortName("tcp://x"));
    EXPECT_TRUE(isTcpPortName("Tcp://"));
    EXPECT_FALSE(isTcpPortName("/dev/tcp://x"));
    EXPECT_FALSE(isTcpPortName("tcp:/x"));
}
