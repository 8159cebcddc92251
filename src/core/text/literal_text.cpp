// src/core/text/literal_text.cpp: replacement, XML escapes, CDATA sections and SQL string literals.
#include "text/literal_text.hpp"

namespace zorvane::core {

std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    for (std::size_t hit; (hit = s.find(from, pos)) != std::string_view::npos; pos = hit + from.size())
        out.append(s, pos, hit - pos).append(to);
    out.append(s, pos, std::string_view::npos);
    return out;
}

std::string escape_xml(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

std::string unescape_xml(std::string_view s) {
    // Four passes, not one: the order decides what "&amp;lt;" becomes.
    std::string out = replace_all(s, "&amp;", "&");
    out = replace_all(out, "&lt;", "<");
    out = replace_all(out, "&gt;", ">");
    return replace_all(out, "&quot;", "\"");
}

std::optional<CdataSection> find_cdata(std::string_view s) {
    constexpr std::string_view open = "<![CDATA[", close = "]]>";
    std::size_t b = s.find(open);
    if (b == std::string_view::npos)
        return std::nullopt;
    // No closer after the first opener means none after any later opener either.
    std::size_t c = s.find(close, b + open.size());
    if (c == std::string_view::npos)
        return std::nullopt;
    return CdataSection{b, c + close.size(), s.substr(b + open.size(), c - b - open.size())};
}

std::string replace_first_cdata(std::string_view s) {
    auto sec = find_cdata(s);
    if (!sec)
        return std::string(s);
    return replace_all(s, s.substr(sec->begin, sec->end - sec->begin), escape_xml(sec->content));
}

std::optional<LiteralEscapes> literal_escapes_for(std::string_view db_type) {
    if (db_type == "postgresql" || db_type == "sqlite")
        return LiteralEscapes::standard;
    if (db_type == "mysql" || db_type == "mariadb")
        return LiteralEscapes::backslash;
    return std::nullopt;
}

std::string sql_string_literal(std::string_view s, LiteralEscapes escapes) {
    std::string_view body = s;
    if (!body.empty() && body.front() == '\'')
        body.remove_prefix(1);
    if (!body.empty() && body.back() == '\'')
        body.remove_suffix(1);
    std::string out;
    out.reserve(body.size() + 4);
    out.push_back('\'');
    for (std::size_t i = 0; i < body.size();) {
        if (body[i] == '\\' && escapes == LiteralEscapes::backslash) {
            out.append(2, '\\');
            ++i;
            continue;
        }
        if (body[i] != '\'') {
            out.push_back(body[i++]);
            continue;
        }
        std::size_t run = 0;
        while (i < body.size() && body[i] == '\'')
            ++run, ++i;
        out.append(run + (run & 1), '\'');
    }
    out.push_back('\'');
    return out;
}

}  // namespace zorvane::core
