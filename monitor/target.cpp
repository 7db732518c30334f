// The TARGET argument of the command-line tools.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>

#include "cv4870mon/target.h"

namespace cv4870mon {

namespace {

constexpr std::size_t kMaxResourceLength = 255;
constexpr std::size_t kMaxHostLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isPrintableWord(char c)
{
    return c > ' ' && c < 0x7f;
}

TargetResult failure(std::string text)
{
    TargetResult r;
    r.error = std::move(text);
    return r;
}

// Empty when host is a usable IPv4 address or host name, else the reason.
std::string checkHost(std::string_view host)
{
    if (host.empty())
        return "the host is empty";
    if (host.size() > kMaxHostLength)
        return "the host name is longer than 253 characters";
    bool numeric = true;
    std::size_t labels = 0;
    std::size_t start = 0;
    while (start <= host.size()) {
        std::size_t end = host.find('.', start);
        if (end == std::string_view::npos)
            end = host.size();
        const std::string_view label = host.substr(start, end - start);
        if (label.empty())
            return "the host has an empty label";
        if (label.size() > kMaxLabelLength)
            return "a label of the host name is longer than 63 characters";
        if (label.front() == '-' || label.back() == '-')
            return "a label of the host name starts or ends with '-'";
        for (char c : label) {
            if (!isDigit(c) && !isAlpha(c) && c != '-')
                return std::string("the host has the character '") + c + "' (letters, digits, '-' and '.' only)";
            numeric = numeric && isDigit(c);
        }
        if (numeric && (label.size() > 3 || std::stoi(std::string(label)) > 255))
            return "an IPv4 address has a part above 255";
        ++labels;
        start = end + 1;
    }
    if (numeric && labels != 4)
        return "an IPv4 address has four parts (a.b.c.d)";
    return {};
}

TargetResult checkResource(std::string_view text)
{
    if (text.size() > kMaxResourceLength)
        return failure("the VISA resource string is longer than 255 characters");
    for (char c : text) {
        if (!isPrintableWord(c))
            return failure("the VISA resource string has a blank or a control character");
    }
    std::size_t i = 0;
    while (i < text.size() && isAlpha(text[i]))
        ++i;
    if (i == 0)
        return failure("the VISA resource string does not start with an interface name (e.g. TCPIP0::)");
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find("::", start);
        const std::string_view field = text.substr(start, end == std::string_view::npos ? end : end - start);
        if (field.empty() || field.find(':') != std::string_view::npos)
            return failure("the VISA resource string has an empty or malformed field (fields are separated by ::)");
        if (end == std::string_view::npos)
            break;
        start = end + 2;
    }
    TargetResult r;
    r.ok = true;
    r.resource = std::string(text);
    return r;
}

} // namespace

TargetResult parseTarget(std::string_view text)
{
    if (text.empty())
        return failure("the target is empty");
    if (text.find("::") != std::string_view::npos)
        return checkResource(text);
    std::string_view host = text;
    int port = kDefaultPort;
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        host = text.substr(0, colon);
        const std::string_view digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5)
            return failure("the port after ':' must be a number from 1 to 65535");
        port = 0;
        for (char c : digits) {
            if (!isDigit(c))
                return failure("the port after ':' must be a number from 1 to 65535");
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535)
            return failure("the port after ':' must be a number from 1 to 65535");
    }
    const std::string reason = checkHost(host);
    if (!reason.empty())
        return failure(reason);
    TargetResult r;
    r.resource = "TCPIP0::" + std::string(host) + "::" + std::to_string(port) + "::SOCKET";
    if (r.resource.size() > kMaxResourceLength)
        return failure("the host name is too long for a VISA resource string (255 characters in all)");
    r.ok = true;
    return r;
}

std::string socketEndpoint(const std::string &resource)
{
    const std::string suffix = "::SOCKET";
    const std::size_t first = resource.find("::");
    if (first == std::string::npos || resource.size() < suffix.size() ||
        !std::equal(suffix.rbegin(), suffix.rend(), resource.rbegin(),
                    [](char a, char b) { return a == std::toupper(static_cast<unsigned char>(b)); }))
        return resource;
    const std::string hostPort = resource.substr(first + 2, resource.size() - suffix.size() - first - 2);
    const std::size_t port = hostPort.rfind("::");
    if (port == std::string::npos || port == 0)
        return resource;
    return hostPort.substr(0, port) + ":" + hostPort.substr(port + 2);
}

} // namespace cv4870mon
