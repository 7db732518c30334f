// The web config file and the Authorization header on arbitrary bytes: the
// parsers never crash, an error always says why, nothing unverified is let
// in at once, and a verified header is remembered.
#include "webconfig.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    cv4870exp::WebConfig config;
    std::string error;
    if (!cv4870exp::parseWebConfig(text, "", &config, &error) && error.empty())
        abort();

    // bcrypt of "secret" at cost 4.
    cv4870exp::BasicAuth auth(
        std::map<std::string, std::string>{{"prom", "$2b$04$vboK/ICtXzcWXmSmfzE/s.zu6rr9yVXzJRZBjfK/U/.3PIM5ZWFAq"}});
    using Verdict = cv4870exp::BasicAuth::Verdict;
    for (const std::string &header : {"Basic " + text, text}) {
        const Verdict first = auth.quick(&header);
        if (first == Verdict::Allowed)
            abort(); // nothing was verified yet
        if (first == Verdict::Slow && auth.verify(&header) && auth.quick(&header) != Verdict::Allowed)
            abort();
    }
    return 0;
}
