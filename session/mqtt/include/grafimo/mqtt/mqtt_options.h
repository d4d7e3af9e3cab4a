#pragma once
// The MQTT options of a front end (--mqtt, --mqtt-ca, --mqtt-password-file, --mqtt-topic,
// --mqtt-ha) and the settings they make. The password is never taken from the command
// line: from a file, or from GRAFIMO_MQTT_PASSWORD.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace grafimo::mqtt {

// What the publisher needs, checked and complete.
struct MqttSettings {
    bool tls = false;          // mqtts://
    std::string host;          // name or address, without brackets
    std::uint16_t port = 1883; // 1883, or 8883 for mqtts, unless given
    std::string user;          // empty: none
    std::optional<std::string> password;
    std::string caFile;        // mqtts:// only; empty: the system's certificate store
    std::string prefix;        // topic prefix without a trailing '/'
    bool homeAssistant = false;
    int keepaliveSeconds = 10; // a broker silent for about twice this is given up

    // "mqtt://user@host:1883", without the password; for log lines.
    std::string describe() const;
};

// The options as given, before they are checked.
struct MqttArgs {
    std::optional<std::string> url;
    std::optional<std::string> caFile;
    std::optional<std::string> passwordFile;
    std::optional<std::string> topic;
    bool homeAssistant = false;
};

// One row of the option table: the name, whether it takes a value, the help line.
struct MqttOptionSpec {
    std::string_view name;
    bool takesValue;
    std::string_view valueName;
    std::string_view help;
};
const std::vector<MqttOptionSpec>& mqttOptionTable();

// Takes one option of the table into `args` ("--mqtt", "--mqtt-ca", ...); `value` is the
// option's value for those that take one. False when `name` is not an MQTT option.
bool takeMqttOption(MqttArgs& args, std::string_view name, std::string_view value);

// The name of the environment variable that may hold the password.
inline constexpr const char* kPasswordVariable = "GRAFIMO_MQTT_PASSWORD";

// What resolving needs from outside, so that tests can hand in their own.
struct MqttEnvironment {
    std::function<std::optional<std::string>(const char*)> getenv;
    std::string hostName;
};
MqttEnvironment systemMqttEnvironment();

struct MqttResolved {
    std::optional<MqttSettings> settings; // empty when MQTT is off or on error
    std::string error;                    // one line, for the caller to print before exit 2
    std::vector<std::string> warnings;    // for the log (English): a password file others can read
};

// Checks the options and reads the password: the URL, the prefix (no '+', '#' or empty
// level), the password file or variable, the CA file. With no --mqtt and no other MQTT
// option, settings stay empty and error is empty. `russian`: the error in Russian, for a
// terminal whose locale says so.
MqttResolved resolveMqttArgs(const MqttArgs& args, const MqttEnvironment& env = systemMqttEnvironment(),
                             bool russian = false);

// Parts of the above, for their own tables of cases.
struct BrokerUrl {
    bool tls = false;
    std::string host;
    std::uint16_t port = 0;
    std::string user;
};
// mqtt://[USER@]HOST[:PORT] or mqtts://...; HOST may be [IPv6]. Empty with `error` set.
std::optional<BrokerUrl> parseBrokerUrl(std::string_view url, std::string* error, bool russian = false);
// The topic prefix is valid: not empty, no '+' or '#', no empty level, no NUL.
bool validTopicPrefix(std::string_view prefix, std::string* error, bool russian = false);

} // namespace grafimo::mqtt
