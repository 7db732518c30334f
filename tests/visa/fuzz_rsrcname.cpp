/* Resource-name parsers on arbitrary bytes: never crash, whatever they
 * accept renders back to a name that parses to the same resource, and the
 * VISA library connects a SOCKET name to exactly the address the target
 * grammar judged it to reach. */
#include "../target/reached.h"
#include "rsrcname.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
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
    cvtarget::Target t;
    const bool visa = cvvisa::parseSocketRsrc(name.c_str(), &r) == VI_SUCCESS;
    if (visa != cvtarget::parseResource(name.c_str(), &t))
        abort();
    if (!visa)
        return 0;
    if (std::strlen(name.c_str()) > cvvisa::kMaxRsrcNameLen || r.port != t.port || !visaReachesJudgedHost(r, t.host))
        abort();
    cvvisa::SocketRsrc again;
    cvtarget::Target canonical;
    if (cvvisa::parseSocketRsrc(r.canonical().c_str(), &again) != VI_SUCCESS || again.host != r.host ||
        again.port != r.port || again.board != r.board || again.hostKind != r.hostKind ||
        !cvtarget::parseResource(t.resource(), &canonical) || canonical.key() != t.key())
        abort();
    return 0;
}
