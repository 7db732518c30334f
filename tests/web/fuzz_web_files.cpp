// The users and targets files from any bytes: parsed or refused with a
// line number, never a crash.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fleet.h"
#include "users.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    std::istringstream users(text);
    std::vector<cv4870web::User> u;
    if (!cv4870web::parseUsers(users, &u, &error) && error.rfind("line ", 0) != 0)
        __builtin_trap();
    std::istringstream targets(text);
    std::vector<cv4870web::Target> t;
    if (cv4870web::parseTargets(targets, &t, &error)) {
        for (const auto &target : t)
            if (target.id.empty() || cv4870web::slug(target.id) != target.id)
                __builtin_trap();
    } else if (error.rfind("line ", 0) != 0) {
        __builtin_trap();
    }
    return 0;
}
