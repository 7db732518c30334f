// Texts from the driver as UTF-8, numbers for people.
#include <cmath>
#include <cstdio>

#include "cv4870.h"
#include "cv4870mon/text.h"

namespace cv4870mon {

std::string utf8FromLatin1(const char *text)
{
    std::string out;
    for (; *text; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string formatNumber(double value, int decimals, bool sign)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char buf[64];
    if (std::fabs(value) >= 1e9)
        std::snprintf(buf, sizeof buf, sign ? "%+.6g" : "%.6g", value);
    else if (decimals >= 0)
        std::snprintf(buf, sizeof buf, sign ? "%+.*f" : "%.*f", decimals, value);
    else
        std::snprintf(buf, sizeof buf, sign ? "%+.10g" : "%.10g", value);
    return buf;
}

std::string statusText(ViStatus status)
{
    ViChar text[CV4870_ERROR_MESSAGE_BUFLEN] = {};
    cv4870_error_message(VI_NULL, status, text);
    return text[0] ? utf8FromLatin1(text) : "status " + std::to_string(status);
}

} // namespace cv4870mon
