/* Resource-name parsers on arbitrary bytes: never crash, and whatever they
 * accept renders back to a name that parses to the same resource. */
#include "rsrcname.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string name(reinterpret_cast<const char *>(data), size);
    /* Any form: a canonical name is its own canonical form. */
    cvvisa::RsrcInfo info, info2;
    if (cvvisa::parseRsrc(name.c_str(), &info) == VI_SUCCESS &&
        (cvvisa::parseRsrc(info.canonical.c_str(), &info2) != VI_SUCCESS || info2.canonical != info.canonical ||
         info2.intfType != info.intfType || info2.board != info.board || info2.rsrcClass != info.rsrcClass))
        abort();
    cvvisa::SocketRsrc r;
    if (cvvisa::parseSocketRsrc(name.c_str(), &r) != VI_SUCCESS)
        return 0;
    if (name.size() > cvvisa::kMaxRsrcNameLen)
        abort();
    cvvisa::SocketRsrc again;
    const std::string canonical = r.canonical();
    if (canonical.size() <= cvvisa::kMaxRsrcNameLen &&
        (cvvisa::parseSocketRsrc(canonical.c_str(), &again) != VI_SUCCESS || again.host != r.host ||
         again.port != r.port || again.board != r.board || again.hostKind != r.hostKind))
        abort();
    return 0;
}
