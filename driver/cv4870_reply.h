// Reply parsing of the cv4870 driver: pure functions over one reply line,
// with no I/O and no dependence on the process locale. Internal to the
// driver; the tests and the fuzz targets use it directly.
#ifndef CV4870_REPLY_H
#define CV4870_REPLY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cv4870.h"

namespace cv4870drv {

// Longest reply line the driver accepts, LF included.
constexpr std::size_t kMaxReplyLine = 4096;
// Most units a reply line may have (response units plus the error reply).
constexpr std::size_t kMaxUnits = 8;
// Longest mainframe error text kept (SCPI limits it to 255 characters).
constexpr std::size_t kMaxErrorText = 255;

std::string_view trim(std::string_view s);

// Splits `line` at ';' outside double-quoted strings (a doubled quote inside
// a string is an escaped quote). Returns the number of units, or 0 when a
// string is unterminated or there are more than `max` units.
std::size_t splitUnits(std::string_view line, std::string_view *units, std::size_t max);

// Splits a response unit at ',' into exactly `n` blank-trimmed fields.
bool splitFields(std::string_view unit, std::string_view *fields, std::size_t n);

// Numbers with a point as decimal separator, whatever the process locale.
// A leading '+' and surrounding blanks are accepted; nothing else.
bool parseInt(std::string_view field, ViInt32 &value);
bool parseReal(std::string_view field, ViReal64 &value); // finite values only
bool parseBool(std::string_view field, ViBoolean &value); // "0" or "1"

// Removes the quotes of a SCPI string ("..." with "" for an embedded quote).
bool unquote(std::string_view unit, std::string &text);

// Error reply `<code>,"<text>"`. The text is cut to kMaxErrorText bytes.
bool parseErrorReply(std::string_view unit, ViInt32 &code, std::string &text);

// Copies `text` into `buf` (capacity `cap` > 0), NUL-terminated, with every
// control byte (C0, DEL, C1 and NUL) replaced by '?'. Returns false when the
// text had to be cut.
bool copyText(std::string_view text, char *buf, std::size_t cap);

// A reply tag as the mainframe echoes it for "SYSTem:TAG? <n>": 1 to 10
// decimal digits, nothing else, at most 4294967295.
bool parseTag(std::string_view unit, std::uint32_t &tag);

// Status for an error code the mainframe reported (0 gives VI_SUCCESS).
ViStatus statusForMainframeCode(ViInt32 code);

// What one reply line carries once the error reply is split off.
struct Reply
{
    ViStatus status = VI_SUCCESS; // VI_SUCCESS, VI_ERROR_INV_RESPONSE or a mainframe error
    std::string_view response; // the query's response unit (queries only)
    ViInt32 errorCode = 0; // the mainframe's error code, 0 if none
    std::string errorText; // its text, as received (not yet made safe)
};

// Decodes a reply line (without its LF) to a command that expects a response
// unit (`query`) or none. A non-zero mainframe error wins over a wrong shape.
Reply decodeReply(std::string_view line, bool query);

} // namespace cv4870drv

#endif // CV4870_REPLY_H
