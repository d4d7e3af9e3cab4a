#include "grafimo/port_name.h"

#include <algorithm>
#include <cctype>

namespace grafimo {

namespace {

bool hostChar(char c)
{
    // Names, IPv4 and IPv6 addresses (with a zone after '%'); nothing that a resolver would
    // take for something else, no blanks or control characters.
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) != 0 || c == '-' || c == '.' || c == '_' || c == ':' || c == '%';
}

TcpPortName failed(std::string text)
{
    TcpPortName n;
    n.error = std::move(text);
    return n;
}

} // namespace

bool isTcpPortName(std::string_view name)
{
    if (name.size() < kTcpPortPrefix.size())
        return false;
    return std::equal(kTcpPortPrefix.begin(), kTcpPortPrefix.end(), name.begin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
    });
}

TcpPortName parseTcpPortName(std::string_view name)
{
    if (!isTcpPortName(name))
        return failed("Имя порта шлюза должно начинаться с tcp://");
    std::string_view rest = name.substr(kTcpPortPrefix.size());

    std::string_view host;
    std::string_view portText;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            return failed("В имени порта нет закрывающей скобки ] после адреса IPv6");
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':')
            return failed("После адреса IPv6 в скобках должны идти двоеточие и номер порта");
        hasPort = !after.empty();
        if (hasPort)
            portText = after.substr(1);
        if (!host.empty() && host.find(':') == std::string_view::npos)
            return failed("В квадратных скобках пишется только адрес IPv6");
    } else {
        const auto colon = rest.rfind(':');
        hasPort = colon != std::string_view::npos;
        host = hasPort ? rest.substr(0, colon) : rest;
        if (hasPort)
            portText = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return failed("Адрес IPv6 пишется в квадратных скобках: tcp://[адрес]:порт");
    }

    if (host.empty())
        return failed("В имени порта не указан узел: tcp://узел:порт");
    if (!std::all_of(host.begin(), host.end(), hostChar))
        return failed("Недопустимый символ в имени узла");
    if (!hasPort || portText.empty())
        return failed("В имени порта не указан номер порта: tcp://узел:порт");
    unsigned long port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9' || port > 65535)
            return failed("Номер порта должен быть числом от 1 до 65535");
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port == 0 || port > 65535)
        return failed("Номер порта должен быть числом от 1 до 65535");

    TcpPortName n;
    n.host = std::string(host);
    n.port = static_cast<std::uint16_t>(port);
    return n;
}

std::string tcpEndpointText(const TcpPortName& name)
{
    const bool v6 = name.host.find(':') != std::string::npos;
    return (v6 ? "[" + name.host + "]" : name.host) + ":" + std::to_string(name.port);
}

} // namespace grafimo
