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
 * name. compile() turns the expression into a deterministic automaton over
 * classes of bytes, so matching costs one table step per character of the
 * name whatever the expression. Building the automaton has a fixed work
 * budget; an expression past it is refused like a malformed one. */
class FindExpr
{
public:
    /* Longest expression and deepest parenthesis nesting accepted. */
    static constexpr std::size_t kMaxLength = 4096;
    static constexpr int kMaxDepth = 64;
    /* Work units (automaton states visited) compile() may spend, and the
     * most deterministic states it may build. */
    static constexpr std::size_t kWorkBudget = 4000000;
    static constexpr std::size_t kMaxDfaStates = 8192;

    /* VI_SUCCESS, or VI_ERROR_INV_EXPR for a malformed expression, for one
     * whose automaton would cost more than the budget, and for the
     * attribute suffix "{...}", which this library does not support. */
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
    bool determinize(int start, int accept);

    /* The automaton the parser builds; dropped once determinized. */
    std::vector<State> states_;
    std::vector<std::bitset<256>> sets_;

    /* The deterministic automaton: byte -> class, (state, class) -> state
     * or -1, and which states accept. State 0 is the start. */
    unsigned char classOf_[256] = {};
    std::size_t classCount_ = 0;
    std::vector<int> next_;
    std::vector<char> accepting_;
};

} // namespace cvvisa

#endif
