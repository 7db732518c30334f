/* The viFindRsrc regular expression: ? * + [list] [^list] \ | ( ).
 * Internal to the VISA library. */
#ifndef CV_VISA_FINDEXPR_H
#define CV_VISA_FINDEXPR_H

#include "visa.h"

#include <bitset>
#include <string>
#include <vector>

namespace cvvisa {

/* A compiled expression. Matching is case-insensitive and covers the whole
 * name. It runs as a set-of-states automaton, so its time is bounded by
 * name length times expression length whatever the nesting. */
class FindExpr
{
public:
    /* Longest expression and deepest parenthesis nesting accepted. */
    static constexpr std::size_t kMaxLength = 4096;
    static constexpr int kMaxDepth = 64;

    /* VI_SUCCESS, or VI_ERROR_INV_EXPR for a malformed expression and for
     * the attribute suffix "{...}", which this library does not support. */
    ViStatus compile(const char *expr);
    bool matches(const std::string &name) const;

private:
    struct State
    {
        int charSet = -1; /* index into sets_, or -1 for an epsilon-only state */
        int out = -1; /* target after a matching character */
        std::vector<int> eps;
    };
    struct Fragment
    {
        int start, end;
    };
    class Parser;

    int newState();
    void closure(std::vector<int> &list, std::vector<unsigned> &mark, unsigned gen) const;

    std::vector<State> states_;
    std::vector<std::bitset<256>> sets_;
    int start_ = -1;
    int accept_ = -1;
};

} // namespace cvvisa

#endif
