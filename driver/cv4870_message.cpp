// Texts for the driver's own statuses and for the errors the mainframe
// reports. The mainframe's texts are cached process-wide per status, so a
// device-specific text can be named later without a session.
#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <string>

#include "cv4870_session.h"
#include "cv4870_statuscodes.h"

namespace cv4870drv {

namespace {

struct CodeText
{
    ViInt32 code;
    const char *text;
};

// Standard SCPI error texts, used until the mainframe has sent its own.
const CodeText kScpiTexts[] = {
    {-100, "Command error"},           {-101, "Invalid character"},  {-102, "Syntax error"},
    {-103, "Invalid separator"},       {-104, "Data type error"},    {-108, "Parameter not allowed"},
    {-109, "Missing parameter"},       {-113, "Undefined header"},   {-114, "Header suffix out of range"},
    {-200, "Execution error"},         {-221, "Settings conflict"},  {-222, "Data out of range"},
    {-224, "Illegal parameter value"}, {-241, "Hardware missing"},   {-300, "Device-specific error"},
    {-330, "Self-test failed"},        {-350, "Queue overflow"},     {-400, "Query error"},
    {-410, "Query INTERRUPTED"},       {-420, "Query UNTERMINATED"},
};

const CodeText kDriverTexts[] = {
#define CV4870_STATUS_ROW(status, text) {status, text},
    CV4870_STATUS_LIST(CV4870_STATUS_ROW)
#undef CV4870_STATUS_ROW
};

std::mutex cacheMutex;
std::map<ViStatus, std::string> cache; // status -> "Mainframe error <code>: <text>"

// Appends to a bounded, NUL-terminated buffer.
class Writer
{
public:
    Writer(char *buf, std::size_t cap)
        : buf_(buf)
        , cap_(cap)
    {
        buf_[0] = '\0';
    }
    Writer &operator<<(std::string_view s)
    {
        len_ += copyTextAt(s);
        return *this;
    }
    Writer &operator<<(long v)
    {
        char digits[24];
        const auto res = std::to_chars(digits, digits + sizeof digits, v);
        return *this << std::string_view(digits, static_cast<std::size_t>(res.ptr - digits));
    }

private:
    std::size_t copyTextAt(std::string_view s)
    {
        copyText(s, buf_ + len_, cap_ - len_);
        return std::min(s.size(), cap_ - len_ - 1);
    }
    char *buf_;
    std::size_t cap_;
    std::size_t len_ = 0;
};

ViInt32 mainframeCode(ViStatus status)
{
    if (status > CV4870_ERROR_DEVICE_BASE && status <= CV4870_ERROR_DEVICE_BASE + CV4870_DEVICE_CODE_MAX)
        return status - CV4870_ERROR_DEVICE_BASE;
    if (status > CV4870_ERROR_SCPI_BASE && status <= CV4870_ERROR_SCPI_BASE - CV4870_SCPI_CODE_MIN)
        return CV4870_ERROR_SCPI_BASE - status;
    return 0;
}

} // namespace

void rememberMainframeError(ViStatus status, ViInt32 code, std::string_view text)
{
    char buf[kMaxErrorText + 64];
    Writer(buf, sizeof buf) << "Mainframe error " << static_cast<long>(code) << ": " << text;
    const std::lock_guard<std::mutex> lock(cacheMutex);
    cache[status] = buf;
}

bool driverStatusText(ViStatus status, char *buf, std::size_t cap)
{
    for (const CodeText &row : kDriverTexts) {
        if (row.code == status) {
            copyText(row.text, buf, cap);
            return true;
        }
    }
    {
        const std::lock_guard<std::mutex> lock(cacheMutex);
        const auto it = cache.find(status);
        if (it != cache.end()) {
            copyText(it->second, buf, cap);
            return true;
        }
    }
    if (status == CV4870_ERROR_MAINFRAME_OTHER) {
        copyText("Mainframe error outside the known code ranges", buf, cap);
        return true;
    }
    const ViInt32 code = mainframeCode(status);
    if (code == 0)
        return false;
    const char *text = code > 0 ? "Device-specific error" : "Unknown SCPI error";
    for (const CodeText &row : kScpiTexts) {
        if (row.code == code)
            text = row.text;
    }
    Writer(buf, cap) << "Mainframe error " << static_cast<long>(code) << ": " << text;
    return true;
}

} // namespace cv4870drv
