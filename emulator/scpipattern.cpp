#include "scpipattern.h"

#include "scpi.h"

namespace cv4870emu {
namespace scpi {

PatternSet::Keyword PatternSet::keyword(const std::string &mnemonic)
{
    Keyword k;
    for (char c : mnemonic) {
        if ((c >= 'A' && c <= 'Z') || c == '*')
            k.shortForm += c;
        k.longForm += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    if (mnemonic[0] == '*')
        k.shortForm = k.longForm;
    return k;
}

// Expands every pattern into its spellings with and without optional nodes.
PatternSet::PatternSet(const std::vector<const char *> &patterns)
{
    for (std::size_t p = 0; p < patterns.size(); ++p) {
        std::string pattern = patterns[p];
        const bool query = pattern.back() == '?';
        if (query)
            pattern.pop_back();
        std::vector<std::pair<Keyword, bool>> nodes; // keyword, optional
        std::size_t i = 0;
        while (i < pattern.size()) {
            bool optional = false;
            if (pattern[i] == '[') {
                optional = true;
                ++i;
            }
            if (pattern[i] == ':')
                ++i;
            std::size_t end = i;
            while (end < pattern.size() && pattern[end] != ':' && pattern[end] != '[' && pattern[end] != ']')
                ++end;
            nodes.emplace_back(keyword(pattern.substr(i, end - i)), optional);
            i = end;
            if (i < pattern.size() && pattern[i] == ']')
                ++i;
        }
        std::size_t optionals = 0;
        for (const auto &n : nodes)
            optionals += n.second ? 1 : 0;
        for (unsigned mask = 0; mask < (1u << optionals); ++mask) {
            Variant v{{}, query, static_cast<int>(p)};
            unsigned bit = 0;
            for (const auto &n : nodes) {
                if (n.second && !(mask & (1u << bit++)))
                    continue;
                v.nodes.push_back(n.first);
            }
            variants_.push_back(v);
        }
    }
}

int PatternSet::find(const std::vector<std::string_view> &nodes, bool query) const
{
    const auto matches = [](const Keyword &k, std::string_view typed) {
        return equalsIgnoreCase(typed, k.longForm) || equalsIgnoreCase(typed, k.shortForm);
    };
    for (const Variant &v : variants_) {
        if (v.query != query || v.nodes.size() != nodes.size())
            continue;
        bool ok = true;
        for (std::size_t i = 0; ok && i < nodes.size(); ++i)
            ok = matches(v.nodes[i], nodes[i]);
        if (ok)
            return v.index;
    }
    return -1;
}

} // namespace scpi
} // namespace cv4870emu
