// Command headers in SCPI notation, matched against what a client typed:
// upper case is the short form, the whole keyword the long form, a node in
// square brackets may be left out, a trailing '?' makes a query. Either form
// of each node matches, in any case; nothing in between does.
#ifndef CV4870EMU_SCPIPATTERN_H
#define CV4870EMU_SCPIPATTERN_H

#include <string>
#include <string_view>
#include <vector>

namespace cv4870emu {
namespace scpi {

class PatternSet
{
public:
    // Patterns such as "SYSTem:ERRor[:NEXT]?" or "*IDN?"; their indexes are
    // what find() returns.
    explicit PatternSet(const std::vector<const char *> &patterns);

    // Index of the pattern the nodes (from the root) and the query mark
    // spell, or -1.
    int find(const std::vector<std::string_view> &nodes, bool query) const;

private:
    struct Keyword
    {
        std::string shortForm;
        std::string longForm;
    };
    // One spelling of a pattern with its optional nodes chosen.
    struct Variant
    {
        std::vector<Keyword> nodes;
        bool query;
        int index;
    };
    static Keyword keyword(const std::string &mnemonic);

    std::vector<Variant> variants_;
};

} // namespace scpi
} // namespace cv4870emu

#endif // CV4870EMU_SCPIPATTERN_H
