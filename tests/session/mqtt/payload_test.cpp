#include "grafimo/mqtt/mqtt_payload.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <random>

#include "grafimo/datetime.h"
#include "grafimo/text_codec.h"
#include "grafimo_test/env_var.h"

namespace grafimo::mqtt {
namespace {

double at(int y, int mo, int d, int h, int mi, int s, int ms)
{
    return *encodeDateTime({y, mo, d, h, mi, s, ms});
}

// The zone rules are set for one case and put back after it.
class Zone {
public:
    explicit Zone(const char* tz) : var_("TZ", tz) { ::tzset(); }
    ~Zone() { ::tzset(); }

private:
    test::EnvVar var_;
};

TEST(FloatText, ShortestTextThatReadsBack)
{
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {7.3f, "7.3"},       {-4.75f, "-4.75"}, {0.1f, "0.1"},         {0.0f, "0"},
        {-0.0f, "-0"},       {100.0f, "100"},   {1e20f, "1e+20"},      {16777216.0f, "16777216"},
        {-327.68f, "-327.68"}, {1.17549435e-38f, "1.1754944e-38"},
        {std::numeric_limits<float>::quiet_NaN(), "null"},
        {std::numeric_limits<float>::infinity(), "null"},
        {-std::numeric_limits<float>::infinity(), "null"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(floatText(c.value), c.text) << c.text;

    // Any finite float: the text reads back to the same bits.
    std::mt19937 gen(26);
    for (int i = 0; i < 20000; ++i) {
        const float v = std::bit_cast<float>(static_cast<std::uint32_t>(gen()));
        if (!std::isfinite(v))
            continue;
        const std::string text = floatText(v);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)), std::bit_cast<std::uint32_t>(v))
            << text;
    }
}

TEST(IsoTime, LocalOffsetOfThatMoment)
{
    struct Case {
        const char* tz;
        double time;
        const char* text;
    };
    const Case cases[] = {
        {"MSK-3", at(2026, 12, 9, 14, 2, 3, 125), "2026-12-09T14:02:03.125+03:00"},
        {"UTC0", at(2026, 1, 1, 0, 0, 0, 0), "2026-01-01T00:00:00.000+00:00"},
        // Winter and summer time each keep their own offset.
        {"CET-1CEST,M3.5.0,M10.5.0/3", at(2026, 1, 15, 12, 0, 0, 7), "2026-01-15T12:00:00.007+01:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", at(2026, 7, 15, 12, 0, 0, 999), "2026-07-15T12:00:00.999+02:00"},
        {"EST5EDT,M3.2.0,M11.1.0", at(2026, 2, 1, 23, 59, 59, 500), "2026-02-01T23:59:59.500-05:00"},
        {"EST5EDT,M3.2.0,M11.1.0", at(2026, 8, 1, 6, 30, 0, 0), "2026-08-01T06:30:00.000-04:00"},
        {"IST-5:30", at(2026, 3, 1, 8, 0, 0, 0), "2026-03-01T08:00:00.000+05:30"},
        {"NPT-5:45", at(2026, 3, 1, 8, 0, 0, 0), "2026-03-01T08:00:00.000+05:45"},
    };
    for (const Case& c : cases) {
        Zone zone(c.tz);
        EXPECT_EQ(isoTime(c.time).value_or("none"), c.text) << c.tz;
    }
    // No date: not a time text.
    EXPECT_FALSE(isoTime(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(isoTime(1e12));
}

TEST(Payloads, SampleStateAndJsonStrings)
{
    Zone zone("MSK-3");
    const HistoryRecord r{-4.75f, 7.3f, at(2026, 12, 9, 14, 2, 3, 125)};
    EXPECT_EQ(sampleJson(41, r), R"({"seq":41,"time":"2026-12-09T14:02:03.125+03:00","value1":-4.75,"value2":7.3})");
    // The description is stored as Windows-1251 bytes and goes out as UTF-8.
    const std::string description = cp1251ToUtf8("\xC4\xE0\xE2\xEB\xE5\xED\xE8\xE5 \"1\"");
    EXPECT_EQ(stateJson(0, r, description),
              R"({"seq":0,"time":"2026-12-09T14:02:03.125+03:00","value1":-4.75,"value2":7.3,)"
              R"("description":"Давление \"1\""})");
    EXPECT_EQ(sampleJson(0, {std::numeric_limits<float>::quiet_NaN(), 1.0f, 0.0 / 0.0}),
              R"({"seq":0,"time":null,"value1":null,"value2":1})");

    struct Case {
        std::string in;
        const char* out;
    };
    const Case strings[] = {
        {"plain", R"("plain")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"line\nnext\ttab\r", R"("line\nnext\ttab\r")"},
        {std::string("nul\0x", 5), R"("nul\u0000x")"},
        {"\x1f", R"("\u001f")"},
        {"Прибор №5", R"("Прибор №5")"},
    };
    for (const Case& c : strings)
        EXPECT_EQ(jsonString(c.in), c.out);
}

TEST(Payloads, HomeAssistantDiscovery)
{
    const DiscoveryTopic d = discoveryConfig("grafimo485/board", "0123456789abcdef", 12, 2, "Котёл");
    EXPECT_EQ(d.topic, "homeassistant/sensor/grafimo485_0123456789abcdef_12/value2/config");
    EXPECT_EQ(d.payload,
              R"({"name":"Котёл value 2","unique_id":"grafimo485_0123456789abcdef_12_value2",)"
              R"("state_topic":"grafimo485/board/12/state","value_template":"{{ value_json.value2 }}",)"
              R"("state_class":"measurement","availability":[{"topic":"grafimo485/board/status"},)"
              R"({"topic":"grafimo485/board/12/availability"}],"availability_mode":"all",)"
              R"("device":{"identifiers":["grafimo485_0123456789abcdef_12"],"name":"Котёл",)"
              R"("model":"Modbus RTU device 12"}})");
    // Without a description the device is named by its address.
    EXPECT_NE(discoveryConfig("p", "k", 3, 1, "").payload.find(R"("name":"Device 3 value 1")"), std::string::npos);
}

} // namespace
} // namespace grafimo::mqtt
