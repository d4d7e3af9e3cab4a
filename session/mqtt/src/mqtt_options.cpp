#include "grafimo/mqtt/mqtt_options.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace grafimo::mqtt {

namespace {

constexpr std::size_t kMaxPasswordFile = 64 * 1024;

// A message in the terminal's language: English, or Russian (see ui_language.h).
struct Say {
    bool russian = false;
    std::string operator()(std::string english, std::string inRussian) const
    {
        return russian ? std::move(inRussian) : std::move(english);
    }
};

std::optional<std::string> readSmallFile(const std::string& path, std::string* error, const Say& say)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) {
        *error = ec.message();
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(status)) {
        *error = say("not a regular file", "это не обычный файл");
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = say("cannot be opened for reading", "не открывается для чтения");
        return std::nullopt;
    }
    std::string text;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxPasswordFile) {
            *error = say("longer than 64 KiB", "длиннее 64 КиБ");
            return std::nullopt;
        }
    }
    if (in.bad()) {
        *error = say("cannot be read", "не читается");
        return std::nullopt;
    }
    return text;
}

} // namespace

std::string MqttSettings::describe() const
{
    std::string text = tls ? "mqtts://" : "mqtt://";
    if (!user.empty())
        text += user + "@";
    text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return text + ":" + std::to_string(port);
}

const std::vector<MqttOptionSpec>& mqttOptionTable()
{
    static const std::vector<MqttOptionSpec> table = {
        {"--mqtt", true, "URL", "publish samples to the broker mqtt://[USER@]HOST[:PORT] or mqtts://..."},
        {"--mqtt-ca", true, "FILE", "check the broker's certificate against FILE, not the system's store"},
        {"--mqtt-password-file", true, "FILE",
         "read the broker password from FILE (or set GRAFIMO_MQTT_PASSWORD)"},
        {"--mqtt-topic", true, "PREFIX", "topic prefix (default grafimo485/<host name>)"},
        {"--mqtt-ha", false, "", "publish Home Assistant discovery configs"},
    };
    return table;
}

bool takeMqttOption(MqttArgs& args, std::string_view name, std::string_view value)
{
    if (name == "--mqtt")
        args.url = std::string(value);
    else if (name == "--mqtt-ca")
        args.caFile = std::string(value);
    else if (name == "--mqtt-password-file")
        args.passwordFile = std::string(value);
    else if (name == "--mqtt-topic")
        args.topic = std::string(value);
    else if (name == "--mqtt-ha")
        args.homeAssistant = true;
    else
        return false;
    return true;
}

MqttEnvironment systemMqttEnvironment()
{
    MqttEnvironment env;
    env.getenv = [](const char* name) -> std::optional<std::string> {
        if (const char* v = std::getenv(name))
            return std::string(v);
        return std::nullopt;
    };
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0)
        env.hostName = host;
    return env;
}

std::optional<BrokerUrl> parseBrokerUrl(std::string_view url, std::string* error, bool russian)
{
    const Say say{russian};
    BrokerUrl out;
    const std::string given(url);
    const auto fail = [&](const std::string& why) {
        *error = "--mqtt " + given + ": " + why;
        return std::nullopt;
    };
    if (url.starts_with("mqtt://")) {
        url.remove_prefix(7);
        out.port = 1883;
    } else if (url.starts_with("mqtts://")) {
        url.remove_prefix(8);
        out.tls = true;
        out.port = 8883;
    } else {
        return fail(say("expected mqtt://[USER@]HOST[:PORT] or mqtts://...",
                        "ожидается mqtt://[ПОЛЬЗОВАТЕЛЬ@]УЗЕЛ[:ПОРТ] или mqtts://..."));
    }
    if (url.ends_with('/'))
        url.remove_suffix(1);
    if (url.find_first_of("/?#") != std::string_view::npos)
        return fail(say("a broker URL has no path", "в адресе брокера не бывает пути"));
    if (const auto at = url.rfind('@'); at != std::string_view::npos) {
        const std::string_view user = url.substr(0, at);
        if (user.find(':') != std::string_view::npos) {
            // Not repeated: the message goes to the log.
            *error = say("--mqtt: no password in the URL: use --mqtt-password-file or GRAFIMO_MQTT_PASSWORD",
                         "--mqtt: пароль в адресе недопустим: задайте --mqtt-password-file или GRAFIMO_MQTT_PASSWORD");
            return std::nullopt;
        }
        if (user.empty())
            return fail(say("empty user name before '@'", "пустое имя пользователя перед «@»"));
        out.user = std::string(user);
        url.remove_prefix(at + 1);
    }
    std::string_view port;
    if (url.starts_with('[')) {
        const auto close = url.find(']');
        if (close == std::string_view::npos || close == 1)
            return fail(say("unclosed or empty [address]", "незакрытый или пустой [адрес]"));
        out.host = std::string(url.substr(1, close - 1));
        const std::string_view rest = url.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return fail(say("unexpected text after ]", "лишний текст после ]"));
            port = rest.substr(1);
            if (port.empty())
                return fail(say("empty port", "пустой порт"));
        }
    } else {
        const auto colon = url.find(':');
        out.host = std::string(url.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = url.substr(colon + 1);
            if (port.empty())
                return fail(say("empty port", "пустой порт"));
        }
    }
    if (out.host.empty())
        return fail(say("no host name", "нет имени узла"));
    for (const char c : out.host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '@' || c == '[' || c == ']')
            return fail(say("the host name holds a character no host name has",
                            "в имени узла знак, которого в именах узлов не бывает"));
    if (!port.empty()) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535)
            return fail(say("the port must be a number from 1 to 65535", "порт — число от 1 до 65535"));
        out.port = static_cast<std::uint16_t>(value);
    }
    return out;
}

bool validTopicPrefix(std::string_view prefix, std::string* error, bool russian)
{
    const Say say{russian};
    const auto fail = [&](const std::string& why) {
        *error = "--mqtt-topic " + std::string(prefix) + ": " + why;
        return false;
    };
    if (prefix.empty())
        return fail(say("the prefix is empty", "префикс пуст"));
    if (prefix.find_first_of("+#") != std::string_view::npos)
        return fail(say("'+' and '#' are wildcards, not allowed in a topic",
                        "«+» и «#» — подстановочные знаки, в теме они недопустимы"));
    if (prefix.find('\0') != std::string_view::npos)
        return fail(say("a topic holds no NUL character", "в теме не бывает знака NUL"));
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string_view::npos)
        return fail(say("empty topic level (a '/' at either end or two in a row)",
                        "пустой уровень темы («/» в начале, в конце или два подряд)"));
    return true;
}

MqttResolved resolveMqttArgs(const MqttArgs& args, const MqttEnvironment& env, bool russian)
{
    const Say say{russian};
    MqttResolved out;
    if (!args.url) {
        if (args.caFile || args.passwordFile || args.topic || args.homeAssistant)
            out.error = say("the --mqtt-* options need --mqtt URL", "параметрам --mqtt-* нужен --mqtt URL");
        return out;
    }
    const auto url = parseBrokerUrl(*args.url, &out.error, russian);
    if (!url)
        return out;
    MqttSettings s;
    s.tls = url->tls;
    s.host = url->host;
    s.port = url->port;
    s.user = url->user;
    s.homeAssistant = args.homeAssistant;

    if (args.topic) {
        s.prefix = *args.topic;
    } else {
        // A host name is one topic level: its dots stay, anything a topic cannot hold goes.
        std::string host = env.hostName;
        for (char& c : host)
            if (c == '/' || c == '+' || c == '#')
                c = '_';
        s.prefix = "grafimo485/" + (host.empty() ? std::string("localhost") : host);
    }
    if (!validTopicPrefix(s.prefix, &out.error, russian))
        return out;

    if (args.caFile) {
        if (!s.tls) {
            out.error = say("--mqtt-ca needs an mqtts:// broker URL", "--mqtt-ca нужен адрес брокера mqtts://");
            return out;
        }
        std::ifstream ca(*args.caFile, std::ios::binary);
        std::error_code ec;
        if (!ca || !std::filesystem::is_regular_file(*args.caFile, ec)) {
            out.error = "--mqtt-ca " + *args.caFile + ": " + say("cannot be read", "не читается");
            return out;
        }
        s.caFile = *args.caFile;
    }

    if (args.passwordFile) {
        std::string why;
        auto text = readSmallFile(*args.passwordFile, &why, say);
        if (!text) {
            out.error = "--mqtt-password-file " + *args.passwordFile + ": " + why;
            return out;
        }
        // The line the file holds, without its line end.
        if (const auto nl = text->find_first_of("\r\n"); nl != std::string::npos)
            text->resize(nl);
        s.password = std::move(*text);
        std::error_code ec;
        const auto perms = std::filesystem::status(*args.passwordFile, ec).permissions();
        if (!ec && (perms & std::filesystem::perms::others_read) != std::filesystem::perms::none)
            out.warnings.push_back("MQTT password file " + *args.passwordFile +
                                   " can be read by other users (chmod o-r it)");
    } else if (env.getenv) {
        s.password = env.getenv(kPasswordVariable);
    }
    if (s.password && s.user.empty()) {
        out.error = say("a broker password needs a user name in the URL (mqtt://USER@HOST)",
                        "паролю брокера нужно имя пользователя в адресе (mqtt://ПОЛЬЗОВАТЕЛЬ@УЗЕЛ)");
        return out;
    }
    out.settings = std::move(s);
    return out;
}

} // namespace grafimo::mqtt
