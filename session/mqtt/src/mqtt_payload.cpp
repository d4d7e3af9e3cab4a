#include "grafimo/mqtt/mqtt_payload.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "grafimo/datetime.h"

namespace grafimo::mqtt {

std::string floatText(float value)
{
    if (!std::isfinite(value))
        return "null";
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc())
        return "null";
    return std::string(buf, end);
}

std::optional<std::string> isoTime(double dateTime)
{
    const DateTimeFields f = decodeDateTime(dateTime);
    if (!isValidDateTime(f))
        return std::nullopt;
    // The offset is the one local time had at that moment (summer or winter time), which
    // mktime finds from the time zone rules.
    std::tm tm{};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_isdst = -1;
    long offset = 0;
    if (std::mktime(&tm) != static_cast<std::time_t>(-1))
        offset = tm.tm_gmtoff;
    const char sign = offset < 0 ? '-' : '+';
    const long minutes = std::labs(offset) / 60;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", f.year, f.month, f.day,
                  f.hour, f.minute, f.second, f.millisecond, sign, minutes / 60, minutes % 60);
    return std::string(buf);
}

std::string jsonString(std::string_view utf8)
{
    std::string out = "\"";
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", u);
                out += esc;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

namespace {

std::string sampleFields(std::uint64_t seq, const HistoryRecord& r)
{
    const auto time = isoTime(r.time);
    return "{\"seq\":" + std::to_string(seq) + ",\"time\":" + (time ? "\"" + *time + "\"" : std::string("null")) +
           ",\"value1\":" + floatText(r.value1) + ",\"value2\":" + floatText(r.value2);
}

} // namespace

std::string sampleJson(std::uint64_t seq, const HistoryRecord& record)
{
    return sampleFields(seq, record) + "}";
}

std::string stateJson(std::uint64_t seq, const HistoryRecord& record, std::string_view description)
{
    return sampleFields(seq, record) + ",\"description\":" + jsonString(description) + "}";
}

DiscoveryTopic discoveryConfig(std::string_view prefix, std::string_view folderKey, std::uint8_t address,
                               int valueNumber, std::string_view description)
{
    const std::string addr = std::to_string(address);
    const std::string value = "value" + std::to_string(valueNumber);
    const std::string deviceId = "grafimo485_" + std::string(folderKey) + "_" + addr;
    const std::string base = std::string(prefix) + "/" + addr;
    const std::string deviceName = description.empty() ? "Device " + addr : std::string(description);
    DiscoveryTopic d;
    d.topic = "homeassistant/sensor/" + deviceId + "/" + value + "/config";
    d.payload = "{\"name\":" + jsonString(deviceName + " value " + std::to_string(valueNumber)) +
                ",\"unique_id\":" + jsonString(deviceId + "_" + value) +
                ",\"state_topic\":" + jsonString(base + "/state") +
                ",\"value_template\":\"{{ value_json." + value + " }}\"" +
                ",\"state_class\":\"measurement\"" +
                ",\"availability\":[{\"topic\":" + jsonString(std::string(prefix) + "/status") +
                "},{\"topic\":" + jsonString(base + "/availability") + "}],\"availability_mode\":\"all\"" +
                ",\"device\":{\"identifiers\":[" + jsonString(deviceId) + "],\"name\":" + jsonString(deviceName) +
                ",\"model\":\"Modbus RTU device " + addr + "\"}}";
    return d;
}

} // namespace grafimo::mqtt
