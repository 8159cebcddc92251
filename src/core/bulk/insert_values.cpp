// src/core/bulk/insert_values.cpp: a small scanner for single-row INSERT ... VALUES texts.
#include "bulk/insert_values.hpp"

namespace zorvane::core {
namespace {

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool ident_char(char c) { return ident_start(c) || (c >= '0' && c <= '9') || c == '$'; }

struct Scanner {
    std::string_view s;
    std::size_t i = 0;

    void skip() {
        while (i < s.size() && space(s[i]))
            ++i;
    }
    bool done() {
        skip();
        return i == s.size();
    }
    bool punct(char c) {
        skip();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    // An identifier; empty when none starts here.
    std::string_view ident() {
        skip();
        std::size_t b = i;
        if (i < s.size() && ident_start(s[i]))
            while (i < s.size() && ident_char(s[i]))
                ++i;
        return s.substr(b, i - b);
    }
    bool keyword(std::string_view k) {
        std::size_t save = i;
        std::string_view w = ident();
        bool same = w.size() == k.size();
        for (std::size_t j = 0; same && j < k.size(); ++j)
            same = (w[j] | 0x20) == k[j];
        if (!same)
            i = save;
        return same;
    }
    // A :name bind, not a :: cast and not followed by one.
    std::string_view bind() {
        skip();
        if (i + 1 >= s.size() || s[i] != ':' || !ident_start(s[i + 1]))
            return {};
        ++i;
        std::size_t b = i;
        while (i < s.size() && (ident_char(s[i]) && s[i] != '$'))
            ++i;
        if (i < s.size() && s[i] == ':')
            return {};
        return s.substr(b, i - b);
    }
};

}  // namespace

std::optional<InsertValues> match_insert_values(std::string_view sql) {
    Scanner sc{sql};
    if (!sc.keyword("insert") || !sc.keyword("into"))
        return std::nullopt;
    InsertValues out;
    std::string_view name = sc.ident();
    if (name.empty())
        return std::nullopt;
    if (sc.punct('.')) {
        out.schema = name;
        name = sc.ident();
        if (name.empty())
            return std::nullopt;
    }
    out.table = name;
    if (!sc.punct('('))
        return std::nullopt;
    do {
        std::string_view col = sc.ident();
        if (col.empty())
            return std::nullopt;
        out.columns.emplace_back(col);
    } while (sc.punct(','));
    if (!sc.punct(')') || !sc.keyword("values") || !sc.punct('('))
        return std::nullopt;
    do {
        std::string_view b = sc.bind();
        if (b.empty())
            return std::nullopt;
        out.binds.emplace_back(b);
    } while (sc.punct(','));
    if (!sc.punct(')'))
        return std::nullopt;
    sc.punct(';');
    if (!sc.done() || out.binds.size() != out.columns.size())
        return std::nullopt;
    return out;
}

}  // namespace zorvane::core
