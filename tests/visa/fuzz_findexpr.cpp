/* Find-expression compiler and matcher on arbitrary bytes: the input is
 * "<expression>\n<name>". Never crashes; case never changes the result. */
#include "findexpr.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t nl = input.find('\n');
    std::string expr = input.substr(0, nl);
    std::string name = nl == std::string::npos ? std::string() : input.substr(nl + 1);
    cvvisa::FindExpr fe;
    if (fe.compile(expr.c_str()) != VI_SUCCESS)
        return 0;
    bool m = fe.matches(name);
    std::string upper = name;
    for (char &c : upper)
        c = char(toupper((unsigned char)c));
    if (fe.matches(upper) != m)
        abort();
    return 0;
}
