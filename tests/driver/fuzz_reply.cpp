// Fuzz target for the driver's reply parsers: any bytes as one reply line,
// decoded as a query and as a command, then every field as every type, the
// response as a SCPI string and the texts copied into small buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cv4870_reply.h"

using namespace cv4870drv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > kMaxReplyLine)
        return 0;
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    std::uint32_t tag = 0;
    if (parseTag(line.substr(0, line.find(';')), tag) && line.find_first_not_of("0123456789;") == 0)
        __builtin_trap(); // a tag is digits only
    decodeReply(line, false);
    const Reply r = decodeReply(line, true);

    char small[16];
    copyText(r.errorText, small, sizeof small);
    if (std::strlen(small) >= sizeof small)
        __builtin_trap();

    const std::string_view unit = r.status == VI_SUCCESS ? r.response : line;
    for (std::size_t n = 1; n <= 7; ++n) {
        std::string_view fields[7];
        if (!splitFields(unit, fields, n))
            continue;
        for (std::size_t i = 0; i < n; ++i) {
            ViInt32 iv;
            ViReal64 rv;
            ViBoolean bv;
            parseInt(fields[i], iv);
            if (parseReal(fields[i], rv) && rv != rv)
                __builtin_trap(); // NaN must never be accepted
            parseBool(fields[i], bv);
        }
    }
    std::string text;
    if (unquote(unit, text)) {
        char desc[CV4870_DESCRIPTION_BUFLEN];
        copyText(text, desc, sizeof desc);
        if (std::strlen(desc) >= sizeof desc)
            __builtin_trap();
    }
    ViInt32 code;
    parseErrorReply(unit, code, text);
    return 0;
}
