/* Resource strings: TCPIP[board]::host::port::SOCKET in full, and the
 * other forms of the grammar for their interface, class and canonical name. */
#include "rsrcname.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace cvvisa {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool startsWithNoCase(const char *s, const char *prefix)
{
    for (; *prefix; ++s, ++prefix) {
        if (asciiUpper(*s) != *prefix)
            return false;
    }
    return true;
}

/* Reads a decimal number of 1 to maxDigits digits not larger than maxValue;
 * advances *p past it. */
bool readNumber(const char **p, int maxDigits, unsigned long maxValue, unsigned long *value)
{
    const char *s = *p;
    unsigned long v = 0;
    int n = 0;
    while (isDigit(*s)) {
        if (++n > maxDigits)
            return false;
        v = v * 10 + unsigned(*s - '0');
        ++s;
    }
    if (n == 0 || v > maxValue)
        return false;
    *p = s;
    *value = v;
    return true;
}

/* s equals the upper-case word, compared without regard to case. */
bool isWord(const std::string &s, const char *word)
{
    std::size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= s.size() || asciiUpper(s[i]) != word[i])
            return false;
    }
    return i == s.size();
}

bool isClassWord(const std::string &s)
{
    for (const char *w : {"INSTR", "SOCKET", "INTFC", "SERVANT", "BACKPLANE", "MEMACC", "RAW"})
        if (isWord(s, w))
            return true;
    return false;
}

/* The whole of s is a decimal number of 1 to maxDigits digits up to maxValue. */
bool isNumber(const std::string &s, int maxDigits, unsigned long maxValue, unsigned long *value)
{
    const char *p = s.c_str();
    return readNumber(&p, maxDigits, maxValue, value) && *p == '\0';
}

/* A USB vendor or product id: "0x" and 1 to 4 hexadecimal digits, or a
 * decimal number up to 65535. */
bool isUsbId(const std::string &s, unsigned long *value)
{
    if (s.size() < 3 || s[0] != '0' || asciiLower(s[1]) != 'x')
        return isNumber(s, 5, 65535, value);
    if (s.size() > 6)
        return false;
    unsigned long v = 0;
    for (std::size_t i = 2; i < s.size(); ++i) {
        const char c = asciiLower(s[i]);
        if (!isDigit(c) && (c < 'a' || c > 'f'))
            return false;
        v = v * 16 + unsigned(isDigit(c) ? c - '0' : c - 'a' + 10);
    }
    *value = v;
    return true;
}

std::string hexId(unsigned long v)
{
    char text[8];
    snprintf(text, sizeof text, "0x%04lX", v);
    return text;
}

/* Splits "::word::word..." into its words. A word that starts with '['
 * runs to the next ']', so that an IPv6 address stays whole. */
bool splitWords(const char *p, std::vector<std::string> *words)
{
    while (*p != '\0') {
        if (strncmp(p, "::", 2) != 0)
            return false;
        p += 2;
        const char *end = *p == '[' ? strchr(p, ']') : strstr(p, "::");
        if (*p == '[' && end)
            ++end;
        else if (*p == '[')
            return false;
        else if (!end)
            end = p + strlen(p);
        if (end == p)
            return false;
        words->emplace_back(p, end);
        p = end;
    }
    return true;
}

/* Takes the class keyword off the end of words when it is one of those
 * given; returns it, or def when the name ends otherwise. */
std::string takeClass(std::vector<std::string> *words, std::initializer_list<const char *> classes, const char *def)
{
    for (const char *c : classes) {
        if (!words->empty() && isWord(words->back(), c)) {
            words->pop_back();
            return c;
        }
    }
    return def;
}

bool isLanDeviceName(const std::string &s)
{
    if (s.empty() || isClassWord(s))
        return false;
    for (char c : s)
        if (!isAlpha(c) && !isDigit(c) && c != '_' && c != ',' && c != '.' && c != '-')
            return false;
    return true;
}

bool isTcpipHost(const std::string &s)
{
    cvtarget::Host host;
    if (s.size() > 2 && s.front() == '[' && s.back() == ']')
        return s.find(':') != std::string::npos && cvtarget::parseHost(s.substr(1, s.size() - 2), &host);
    return s.find(':') == std::string::npos && cvtarget::parseHost(s, &host);
}

/* The part of a canonical name after "<interface><board>", from the words
 * after the board; false when the words do not form a resource. */
bool gpibTail(std::vector<std::string> w, std::string *cls, std::string *tail)
{
    if (w.size() == 1 && (isWord(w[0], "INTFC") || isWord(w[0], "SERVANT"))) {
        *cls = isWord(w[0], "INTFC") ? "INTFC" : "SERVANT";
        *tail = "::" + *cls;
        return true;
    }
    *cls = takeClass(&w, {"INSTR"}, "INSTR");
    unsigned long primary, secondary;
    if (w.empty() || w.size() > 2 || !isNumber(w[0], 2, 30, &primary) ||
        (w.size() == 2 && !isNumber(w[1], 2, 31, &secondary)))
        return false;
    *tail = "::" + std::to_string(primary) + (w.size() == 2 ? "::" + std::to_string(secondary) : "") + "::INSTR";
    return true;
}

bool vxiTail(std::vector<std::string> w, bool servant, std::string *cls, std::string *tail)
{
    if (w.size() == 1 && (isWord(w[0], "MEMACC") || (servant && isWord(w[0], "SERVANT")))) {
        *cls = isWord(w[0], "MEMACC") ? "MEMACC" : "SERVANT";
        *tail = "::" + *cls;
        return true;
    }
    *cls = takeClass(&w, {"INSTR", "BACKPLANE"}, "INSTR");
    unsigned long la = 0;
    if (w.size() > 1 || (*cls == "INSTR" && w.empty()) || (!w.empty() && !isNumber(w[0], 3, 255, &la)))
        return false;
    *tail = "::" + std::to_string(la) + "::" + *cls;
    return true;
}

bool usbTail(std::vector<std::string> w, std::string *cls, std::string *tail)
{
    *cls = takeClass(&w, {"INSTR", "RAW"}, "INSTR");
    unsigned long vendor, product, intf;
    if (w.size() < 3 || w.size() > 4 || !isUsbId(w[0], &vendor) || !isUsbId(w[1], &product) ||
        (w.size() == 4 && !isNumber(w[3], 3, 255, &intf)))
        return false;
    for (char c : w[2])
        if (c <= ' ' || c >= 0x7F || c == ':')
            return false;
    *tail = "::" + hexId(vendor) + "::" + hexId(product) + "::" + w[2] +
            (w.size() == 4 ? "::" + std::to_string(intf) : "") + "::" + *cls;
    return true;
}

bool tcpipInstrTail(std::vector<std::string> w, std::string *cls, std::string *tail)
{
    *cls = takeClass(&w, {"INSTR"}, "INSTR");
    if (w.empty() || w.size() > 2 || !isTcpipHost(w[0]) || (w.size() == 2 && !isLanDeviceName(w[1])))
        return false;
    *tail = "::" + w[0] + "::" + (w.size() == 2 ? w[1] : "inst0") + "::INSTR";
    return true;
}

} // namespace

std::string SocketRsrc::canonical() const
{
    std::string s = "TCPIP" + std::to_string(board) + "::";
    if (hostKind == HostKind::Ipv6)
        s += "[" + host + "]";
    else
        s += host;
    s += "::" + std::to_string(port) + "::SOCKET";
    return s;
}

ViStatus parseSocketRsrc(const char *name, SocketRsrc *out)
{
    if (!name || !out)
        return VI_ERROR_INV_RSRC_NAME;
    /* Bounded length check: never walk past the longest name accepted. */
    const void *end = memchr(name, '\0', kMaxRsrcNameLen + 1);
    if (end == nullptr)
        return VI_ERROR_INV_RSRC_NAME;
    try {
        cvtarget::Target t;
        if (!cvtarget::parseResource(std::string_view(name, std::size_t(static_cast<const char *>(end) - name)), &t))
            return VI_ERROR_INV_RSRC_NAME;
        SocketRsrc r;
        r.board = t.board;
        r.hostKind = t.host.writtenAsIpv6 ? HostKind::Ipv6 : t.host.kind;
        /* A name keeps its case and an IPv6 address its notation in the
         * canonical name; a dotted address is decimal, as it connects. */
        r.host = r.hostKind == HostKind::Ipv4 ? t.host.text : t.written;
        r.port = t.port;
        *out = std::move(r);
    } catch (const std::bad_alloc &) {
        return VI_ERROR_INV_RSRC_NAME;
    }
    return VI_SUCCESS;
}

ViStatus parseRsrc(const char *name, RsrcInfo *out)
{
    if (!name || !out || memchr(name, '\0', kMaxRsrcNameLen + 1) == nullptr)
        return VI_ERROR_INV_RSRC_NAME;
    static const struct
    {
        const char *keyword;
        ViUInt16 type;
    } kInterfaces[] = {{"GPIB-VXI", VI_INTF_GPIB_VXI}, {"GPIB", VI_INTF_GPIB},   {"VXI", VI_INTF_VXI},
                       {"ASRL", VI_INTF_ASRL},         {"TCPIP", VI_INTF_TCPIP}, {"USB", VI_INTF_USB}};
    const char *p = name;
    RsrcInfo r;
    std::string keyword;
    for (const auto &intf : kInterfaces) {
        if (startsWithNoCase(p, intf.keyword)) {
            keyword = intf.keyword;
            r.intfType = intf.type;
            break;
        }
    }
    if (keyword.empty())
        return VI_ERROR_INV_RSRC_NAME;
    p += keyword.size();
    unsigned long board = 0;
    if (isDigit(*p) && !readNumber(&p, 5, 65535, &board))
        return VI_ERROR_INV_RSRC_NAME;
    r.board = ViUInt16(board);
    std::vector<std::string> words;
    try {
        if (!splitWords(p, &words))
            return VI_ERROR_INV_RSRC_NAME;
        std::string tail;
        bool ok = false;
        switch (r.intfType) {
        case VI_INTF_GPIB:
            ok = gpibTail(words, &r.rsrcClass, &tail);
            break;
        case VI_INTF_VXI:
        case VI_INTF_GPIB_VXI:
            ok = vxiTail(words, r.intfType == VI_INTF_VXI, &r.rsrcClass, &tail);
            break;
        case VI_INTF_ASRL:
            ok = words.empty() || (words.size() == 1 && isWord(words[0], "INSTR"));
            r.rsrcClass = "INSTR";
            tail = "::INSTR";
            break;
        case VI_INTF_USB:
            ok = usbTail(words, &r.rsrcClass, &tail);
            break;
        default:
            if (!words.empty() && isWord(words.back(), "SOCKET")) {
                SocketRsrc socket;
                ok = parseSocketRsrc(name, &socket) == VI_SUCCESS;
                r.rsrcClass = "SOCKET";
                tail = socket.canonical().substr(5 + std::to_string(socket.board).size());
            } else {
                ok = tcpipInstrTail(words, &r.rsrcClass, &tail);
            }
            break;
        }
        r.canonical = keyword + std::to_string(r.board) + tail;
        if (!ok || r.canonical.size() > kMaxRsrcNameLen)
            return VI_ERROR_INV_RSRC_NAME;
    } catch (const std::bad_alloc &) {
        return VI_ERROR_ALLOC;
    }
    *out = std::move(r);
    return VI_SUCCESS;
}

} // namespace cvvisa
