/* Find expressions: parsed into a Thompson automaton, which the subset
 * construction turns into a deterministic one under a work budget. */
#include "findexpr.h"

#include "rsrcname.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

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
    next_.clear();
    accepting_.clear();
    classCount_ = 0;
    if (!expr || memchr(expr, '\0', kMaxLength + 1) == nullptr)
        return VI_ERROR_INV_EXPR;
    Fragment root;
    Parser parser(*this, expr);
    bool ok = parser.parse(&root);
    try {
        ok = ok && determinize(root.start, root.end);
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    states_.clear();
    states_.shrink_to_fit();
    sets_.clear();
    sets_.shrink_to_fit();
    if (!ok) {
        next_.clear();
        accepting_.clear();
        classCount_ = 0;
        return VI_ERROR_INV_EXPR;
    }
    return VI_SUCCESS;
}

bool FindExpr::determinize(int start, int accept)
{
    std::size_t work = 0;

    /* Bytes that every set treats alike share a class. */
    classCount_ = 1;
    std::fill(std::begin(classOf_), std::end(classOf_), 0);
    for (const std::bitset<256> &set : sets_) {
        int split[256][2];
        for (std::size_t k = 0; k < classCount_; ++k)
            split[k][0] = split[k][1] = -1;
        std::size_t count = 0;
        unsigned char renumbered[256];
        for (std::size_t b = 0; b < 256; ++b) {
            int &slot = split[classOf_[b]][set.test(b) ? 1 : 0];
            if (slot < 0)
                slot = int(count++);
            renumbered[b] = (unsigned char)slot;
        }
        std::copy(std::begin(renumbered), std::end(renumbered), std::begin(classOf_));
        classCount_ = count;
        work += 256;
    }
    /* The classes each set holds. */
    std::vector<std::vector<int>> setClasses(sets_.size());
    for (std::size_t i = 0; i < sets_.size(); ++i) {
        std::vector<char> seen(classCount_, 0);
        for (std::size_t b = 0; b < 256; ++b)
            if (sets_[i].test(b) && !seen[classOf_[b]]) {
                seen[classOf_[b]] = 1;
                setClasses[i].push_back(classOf_[b]);
            }
        work += 256;
    }

    /* A deterministic state is the sorted set of character states (and the
     * accepting state) reachable over epsilon edges. */
    std::vector<unsigned> mark(states_.size(), 0);
    unsigned gen = 0;
    std::vector<int> stack;
    auto closure = [&](const std::vector<int> &seeds) {
        std::vector<int> key;
        ++gen;
        stack.clear();
        for (int s : seeds)
            if (mark[std::size_t(s)] != gen) {
                mark[std::size_t(s)] = gen;
                stack.push_back(s);
            }
        while (!stack.empty()) {
            int s = stack.back();
            stack.pop_back();
            ++work;
            const State &st = states_[std::size_t(s)];
            if (st.charSet >= 0 || s == accept)
                key.push_back(s);
            for (int t : st.eps)
                if (mark[std::size_t(t)] != gen) {
                    mark[std::size_t(t)] = gen;
                    stack.push_back(t);
                }
        }
        std::sort(key.begin(), key.end());
        work += key.size();
        return key;
    };

    std::map<std::vector<int>, int> ids;
    std::vector<const std::vector<int> *> pending;
    auto intern = [&](std::vector<int> key) {
        auto found = ids.find(key);
        if (found != ids.end())
            return found->second;
        const int id = int(ids.size());
        auto it = ids.emplace(std::move(key), id).first;
        pending.push_back(&it->first);
        accepting_.push_back(std::binary_search(it->first.begin(), it->first.end(), accept) ? 1 : 0);
        next_.resize(next_.size() + classCount_, -1);
        return id;
    };
    intern(closure({start}));

    std::vector<std::vector<int>> targets(classCount_);
    for (std::size_t d = 0; d < pending.size(); ++d) {
        if (work > kWorkBudget || pending.size() > kMaxDfaStates)
            return false;
        for (std::vector<int> &t : targets)
            t.clear();
        for (int s : *pending[d]) {
            const State &st = states_[std::size_t(s)];
            if (st.charSet < 0)
                continue;
            for (int c : setClasses[std::size_t(st.charSet)])
                targets[std::size_t(c)].push_back(st.out);
            work += setClasses[std::size_t(st.charSet)].size();
        }
        for (std::size_t c = 0; c < classCount_; ++c)
            if (!targets[c].empty()) {
                const int to = intern(closure(targets[c]));
                next_[d * classCount_ + c] = to;
                if (work > kWorkBudget)
                    return false;
            }
    }
    return work <= kWorkBudget && pending.size() <= kMaxDfaStates;
}

bool FindExpr::matches(const std::string &name) const
{
    if (accepting_.empty())
        return false;
    std::size_t d = 0;
    for (char ch : name) {
        const int to = next_[d * classCount_ + classOf_[(unsigned char)ch]];
        if (to < 0)
            return false;
        d = std::size_t(to);
    }
    return accepting_[d] != 0;
}

} // namespace cvvisa
