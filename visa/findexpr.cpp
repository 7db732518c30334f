/* Find expressions compiled to a Thompson automaton and matched by
 * tracking the set of live states. */
#include "findexpr.h"

#include "rsrcname.h"

#include <cstring>

namespace cvvisa {

namespace {

void addCaseless(std::bitset<256> &set, unsigned char c)
{
    set.set(c);
    set.set((unsigned char)asciiLower(char(c)));
    set.set((unsigned char)asciiUpper(char(c)));
}

} // namespace

/* Recursive descent over
 *   expr := seq ('|' seq)*
 *   seq  := item item*
 *   item := atom ['*' | '+']
 *   atom := '(' expr ')' | '[' ['^'] list ']' | '?' | '\' char | char */
class FindExpr::Parser
{
public:
    Parser(FindExpr &fe, const char *text)
        : fe_(fe)
        , p_(text)
    {}

    bool parse(Fragment *out) { return expr(out, 0) && *p_ == '\0'; }

private:
    void link(int from, int to) { fe_.states_[std::size_t(from)].eps.push_back(to); }

    bool expr(Fragment *out, int depth)
    {
        if (depth > kMaxDepth)
            return false;
        Fragment first;
        if (!seq(&first, depth))
            return false;
        if (*p_ != '|') {
            *out = first;
            return true;
        }
        Fragment alt = {fe_.newState(), fe_.newState()};
        link(alt.start, first.start);
        link(first.end, alt.end);
        while (*p_ == '|') {
            ++p_;
            Fragment next;
            if (!seq(&next, depth))
                return false;
            link(alt.start, next.start);
            link(next.end, alt.end);
        }
        *out = alt;
        return true;
    }

    bool seq(Fragment *out, int depth)
    {
        if (*p_ == '\0' || *p_ == '|' || *p_ == ')')
            return false; /* empty alternative or group */
        if (!item(out, depth))
            return false;
        while (*p_ != '\0' && *p_ != '|' && *p_ != ')') {
            Fragment next;
            if (!item(&next, depth))
                return false;
            link(out->end, next.start);
            out->end = next.end;
        }
        return true;
    }

    bool item(Fragment *out, int depth)
    {
        Fragment a;
        if (!atom(&a, depth))
            return false;
        if (*p_ == '*' || *p_ == '+') {
            Fragment rep = {fe_.newState(), fe_.newState()};
            link(rep.start, a.start);
            if (*p_ == '*')
                link(rep.start, rep.end);
            link(a.end, a.start);
            link(a.end, rep.end);
            ++p_;
            a = rep;
            if (*p_ == '*' || *p_ == '+')
                return false; /* a repeat of a repeat means nothing more */
        }
        *out = a;
        return true;
    }

    bool atom(Fragment *out, int depth)
    {
        std::bitset<256> set;
        char c = *p_;
        switch (c) {
        case '(':
            ++p_;
            if (!expr(out, depth + 1) || *p_ != ')')
                return false;
            ++p_;
            return true;
        case '[':
            ++p_;
            if (!list(&set))
                return false;
            break;
        case '?':
            ++p_;
            set.set();
            set.reset(0);
            break;
        case '\\':
            ++p_;
            if (*p_ == '\0')
                return false;
            addCaseless(set, (unsigned char)*p_++);
            break;
        case '*':
        case '+':
        case ')':
        case ']':
        case '{':
        case '}':
        case '\0':
            return false;
        default:
            addCaseless(set, (unsigned char)*p_++);
            break;
        }
        return charState(set, out);
    }

    /* After '[': characters and ranges up to ']'. */
    bool list(std::bitset<256> *set)
    {
        bool negate = false;
        if (*p_ == '^') {
            negate = true;
            ++p_;
        }
        std::bitset<256> in;
        bool empty = true;
        while (*p_ != ']') {
            unsigned char lo;
            if (!listChar(&lo))
                return false;
            unsigned char hi = lo;
            if (*p_ == '-' && p_[1] != ']' && p_[1] != '\0') {
                ++p_;
                if (!listChar(&hi) || hi < lo)
                    return false;
            }
            for (unsigned v = lo; v <= hi; ++v)
                addCaseless(in, (unsigned char)v);
            empty = false;
        }
        ++p_;
        if (empty)
            return false;
        if (negate) {
            in.flip();
            in.reset(0);
        }
        *set = in;
        return true;
    }

    bool listChar(unsigned char *c)
    {
        if (*p_ == '\0')
            return false;
        if (*p_ == '\\') {
            ++p_;
            if (*p_ == '\0')
                return false;
        }
        *c = (unsigned char)*p_++;
        return true;
    }

    bool charState(const std::bitset<256> &set, Fragment *out)
    {
        int s = fe_.newState();
        int e = fe_.newState();
        fe_.sets_.push_back(set);
        fe_.states_[std::size_t(s)].charSet = int(fe_.sets_.size() - 1);
        fe_.states_[std::size_t(s)].out = e;
        *out = {s, e};
        return true;
    }

    FindExpr &fe_;
    const char *p_;
};

int FindExpr::newState()
{
    states_.emplace_back();
    return int(states_.size() - 1);
}

ViStatus FindExpr::compile(const char *expr)
{
    states_.clear();
    sets_.clear();
    start_ = accept_ = -1;
    if (!expr || memchr(expr, '\0', kMaxLength + 1) == nullptr)
        return VI_ERROR_INV_EXPR;
    Fragment root;
    Parser parser(*this, expr);
    if (!parser.parse(&root)) {
        states_.clear();
        sets_.clear();
        return VI_ERROR_INV_EXPR;
    }
    start_ = root.start;
    accept_ = root.end;
    return VI_SUCCESS;
}

/* Extends list by every state reachable over epsilon edges. */
void FindExpr::closure(std::vector<int> &list, std::vector<unsigned> &mark, unsigned gen) const
{
    std::vector<int> stack(list);
    while (!stack.empty()) {
        int s = stack.back();
        stack.pop_back();
        for (int t : states_[std::size_t(s)].eps) {
            if (mark[std::size_t(t)] != gen) {
                mark[std::size_t(t)] = gen;
                list.push_back(t);
                stack.push_back(t);
            }
        }
    }
}

bool FindExpr::matches(const std::string &name) const
{
    if (start_ < 0)
        return false;
    std::vector<unsigned> mark(states_.size(), 0);
    unsigned gen = 1;
    std::vector<int> live = {start_};
    mark[std::size_t(start_)] = gen;
    closure(live, mark, gen);
    for (char ch : name) {
        unsigned char c = (unsigned char)ch;
        std::vector<int> next;
        ++gen;
        for (int s : live) {
            const State &st = states_[std::size_t(s)];
            if (st.charSet >= 0 && sets_[std::size_t(st.charSet)].test(c) && mark[std::size_t(st.out)] != gen) {
                mark[std::size_t(st.out)] = gen;
                next.push_back(st.out);
            }
        }
        if (next.empty())
            return false;
        closure(next, mark, gen);
        live.swap(next);
    }
    for (int s : live)
        if (s == accept_)
            return true;
    return false;
}

} // namespace cvvisa
