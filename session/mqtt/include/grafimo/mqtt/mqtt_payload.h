#pragma once
// The texts the publisher sends: sample, state and Home Assistant discovery payloads.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "grafimo/history.h"

namespace grafimo::mqtt {

// The shortest decimal text that reads back to the same float ("7.3", "-4.75", "1e+20");
// "null" for a value JSON cannot hold (NaN, infinity).
std::string floatText(float value);

// A date-time value (local time) as ISO 8601 with milliseconds and the local offset in
// force at that moment: "2026-12-09T14:02:03.125+03:00". Empty when the value is no date.
std::optional<std::string> isoTime(double dateTime);

// A JSON string literal, quotes included; control characters escaped.
std::string jsonString(std::string_view utf8);

// {"seq":N,"time":"...","value1":V1,"value2":V2} ("time":null when the record's time is
// no date).
std::string sampleJson(std::uint64_t seq, const HistoryRecord& record);
// The sample with the device's description (UTF-8) added, for the retained state topic.
std::string stateJson(std::uint64_t seq, const HistoryRecord& record, std::string_view description);

// Home Assistant discovery of one sensor (value 1 or 2) of a device.
struct DiscoveryTopic {
    std::string topic;
    std::string payload;
};
DiscoveryTopic discoveryConfig(std::string_view prefix, std::string_view folderKey, std::uint8_t address,
                               int valueNumber, std::string_view description);

} // namespace grafimo::mqtt
