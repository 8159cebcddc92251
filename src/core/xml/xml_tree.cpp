// src/core/xml/xml_tree.cpp: a small XML reader that keeps the source position of every element,
// attribute and text run, for diagnostics that point into mapper files.
#include "xml/xml_tree.hpp"

#include <algorithm>

#include "text/utf8.hpp"

namespace zorvane::core {
namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void append_utf8(std::string &out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Whether the document is UTF-8: no declaration, or one that names no other encoding.
bool declares_utf8(std::string_view s) {
    if (s.compare(0, 5, "<?xml") != 0)
        return true;
    std::string_view decl = s.substr(0, s.find("?>"));
    std::size_t k = decl.find("encoding");
    std::size_t open = k == std::string_view::npos ? k : decl.find_first_of("'\"", k);
    if (open == std::string_view::npos)
        return true;
    std::size_t close = decl.find(decl[open], open + 1);
    std::string lower;
    for (char c : decl.substr(open + 1, close == std::string_view::npos ? close : close - open - 1))
        lower += static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
    return lower == "utf-8" || lower == "utf8";
}

// Offset of the first byte that starts no well-formed UTF-8 sequence, or npos.
std::size_t malformed_utf8_at(std::string_view s) noexcept {
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len = code_point_len(s, i);
        if (len == 1 && static_cast<unsigned char>(s[i]) >= 0x80)
            return i;
        i += len;
    }
    return std::string_view::npos;
}

class Reader {
public:
    explicit Reader(std::string_view source) : s_(source) {
        lines_.push_back(0);
        for (std::size_t i = 0; i < s_.size(); ++i)
            if (s_[i] == '\n' || (s_[i] == '\r' && (i + 1 == s_.size() || s_[i + 1] != '\n')))
                lines_.push_back(i + 1);
    }

    XmlElement document() {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF")
            i_ = 3;
        if (declares_utf8(s_.substr(i_)))
            if (std::size_t bad = malformed_utf8_at(s_); bad != std::string_view::npos)
                fail("not well-formed (invalid token)", bad);
        misc(true);
        if (i_ >= s_.size())
            fail("no element found", i_);
        if (s_[i_] != '<')
            fail("syntax error: text before the root element", i_);
        XmlElement root;
        element(root);
        misc(false);
        if (i_ < s_.size())
            fail("junk after document element", i_);
        return root;
    }

private:
    [[noreturn]] void fail(const std::string &message, std::size_t at) { throw XmlError(message, pos(at)); }

    Position pos(std::size_t off) const {
        auto it = std::upper_bound(lines_.begin(), lines_.end(), off) - 1;
        std::uint32_t col = 1;
        for (std::size_t k = *it; k < off && k < s_.size(); ++k)
            col += !is_continuation(s_[k]);
        return {static_cast<std::uint32_t>(it - lines_.begin() + 1), col};
    }

    bool at(std::string_view token) const { return s_.compare(i_, token.size(), token) == 0; }

    bool skip_space() {
        std::size_t from = i_;
        while (i_ < s_.size() && is_space(s_[i_]))
            ++i_;
        return i_ > from;
    }

    // Moves past `end`, which must follow the `opener` bytes at the offset ("<!-->" closes
    // no comment); `what` names the construct on failure.
    void skip_past(std::size_t opener, std::string_view end, const char *what) {
        std::size_t start = i_, hit = s_.find(end, i_ + opener);
        if (hit == std::string_view::npos)
            fail(std::string("unclosed ") + what, start);
        i_ = hit + end.size();
    }

    // Whitespace, comments and processing instructions around the root; a DOCTYPE before it.
    void misc(bool before_root) {
        for (;;) {
            skip_space();
            if (at("<!--"))
                skip_past(4, "-->", "comment");
            else if (at("<?"))
                skip_past(2, "?>", "processing instruction");
            else if (before_root && at("<!DOCTYPE"))
                doctype();
            else
                return;
        }
    }

    void doctype() {
        std::size_t start = i_;
        int depth = 0;
        char quote = 0;
        bool subset_closed = false;  // then only blanks may come before the '>'
        for (; i_ < s_.size(); ++i_) {
            char c = s_[i_];
            if (quote) {
                quote = c == quote ? 0 : quote;
            } else if (c == '>' && depth <= 0) {
                ++i_;
                return;
            } else if (subset_closed && !is_space(c)) {
                fail("not well-formed (invalid token)", i_);
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++depth;
            } else if (c == ']') {
                subset_closed = --depth == 0;
            }
        }
        fail("unclosed DOCTYPE declaration", start);
    }

    std::string_view name() {
        std::size_t start = i_;
        while (i_ < s_.size() && !is_space(s_[i_]) && std::string_view("/>=<'\"&").find(s_[i_]) == std::string_view::npos)
            ++i_;
        std::string_view n = s_.substr(start, i_ - start);
        unsigned char first = n.empty() ? 0 : static_cast<unsigned char>(n[0]);
        if (!(first >= 0x80 || first == '_' || first == ':' || ((first | 0x20) >= 'a' && (first | 0x20) <= 'z')))
            fail("not well-formed (invalid token)", start);
        return n;
    }

    // Decodes the reference at "&" into `out`.
    void reference(std::string &out) {
        std::size_t start = i_, semi = s_.find(';', i_);
        if (semi == std::string_view::npos || semi - i_ > 12)
            fail("not well-formed (invalid token)", start);
        std::string_view body = s_.substr(i_ + 1, semi - i_ - 1);
        i_ = semi + 1;
        if (body == "lt")
            out.push_back('<');
        else if (body == "gt")
            out.push_back('>');
        else if (body == "amp")
            out.push_back('&');
        else if (body == "quot")
            out.push_back('"');
        else if (body == "apos")
            out.push_back('\'');
        else if (body.size() > 1 && body[0] == '#') {
            bool hex = body[1] == 'x';
            std::string_view digits = body.substr(hex ? 2 : 1);
            std::uint32_t cp = 0;
            for (char c : digits) {
                int d = c >= '0' && c <= '9' ? c - '0'
                        : hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                                        : -1;
                if (d < 0 || cp > 0x10FFFF)
                    fail("not well-formed (invalid token)", start);
                cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
            }
            if (digits.empty() || cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                fail("reference to invalid character number", start);
            append_utf8(out, cp);
        } else {
            fail("undefined entity &" + std::string(body) + ";", start);
        }
    }

    void attributes(XmlElement &e) {
        for (;;) {
            bool spaced = skip_space();
            if (i_ >= s_.size())
                fail("unclosed token", i_);
            if (s_[i_] == '>' || at("/>"))
                return;
            if (!spaced)
                fail("not well-formed (invalid token)", i_);
            std::size_t start = i_;
            std::string_view n = name();
            skip_space();
            if (i_ >= s_.size() || s_[i_] != '=')
                fail("not well-formed (invalid token)", i_);
            ++i_;
            skip_space();
            if (i_ >= s_.size() || (s_[i_] != '"' && s_[i_] != '\''))
                fail("not well-formed (invalid token)", i_);
            char quote = s_[i_++];
            std::string value;
            for (;;) {
                if (i_ >= s_.size())
                    fail("unclosed token", start);
                char c = s_[i_];
                if (c == quote)
                    break;
                if (c == '<')
                    fail("not well-formed (invalid token)", i_);
                if (c == '&') {
                    reference(value);
                    continue;
                }
                if (c == '\r' && i_ + 1 < s_.size() && s_[i_ + 1] == '\n')
                    ++i_;
                value.push_back(is_space(c) ? ' ' : c);
                ++i_;
            }
            ++i_;
            for (const XmlAttribute &a : e.attributes)
                if (a.name == n)
                    fail("duplicate attribute", start);
            e.attributes.push_back(XmlAttribute{std::string(n), std::move(value), pos(start)});
        }
    }

    void begin_run(TextRun *run) {
        run->origins.emplace_back(run->value.size(), pos(i_));
    }

    // At "<": the element, its content and its end tag.
    void element(XmlElement &e) {
        std::size_t start = i_++;
        std::string_view tag = name();
        e.tag = std::string(tag);
        e.at = pos(start);
        attributes(e);
        if (at("/>")) {
            i_ += 2;
            return;
        }
        ++i_;  // ">"
        TextRun *run = &e.text;
        bool fresh = true;  // the next character data starts a new piece of `run`
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == '<') {
                if (at("</")) {
                    std::size_t close = i_;
                    i_ += 2;
                    std::string_view end = name();
                    skip_space();
                    if (end != tag || i_ >= s_.size() || s_[i_] != '>')
                        fail("mismatched tag", close);
                    ++i_;
                    return;
                }
                if (at("<!--")) {
                    skip_past(4, "-->", "comment");
                    fresh = true;
                } else if (at("<![CDATA[")) {
                    i_ += 9;
                    std::size_t from = i_;
                    begin_run(run);
                    skip_past(0, "]]>", "CDATA section");
                    run->value.append(s_.substr(from, i_ - 3 - from));
                    fresh = true;
                } else if (at("<?")) {
                    skip_past(2, "?>", "processing instruction");
                    fresh = true;
                } else if (at("<!")) {
                    fail("not well-formed (invalid token)", i_);
                } else {
                    e.children.emplace_back();
                    element(e.children.back());
                    run = &e.children.back().tail;
                    fresh = true;
                }
            } else if (c == '&') {
                begin_run(run);  // the reference's text maps to the '&'
                reference(run->value);
                fresh = true;
            } else {
                if (fresh)
                    begin_run(run);
                fresh = false;
                std::size_t from = i_;
                while (i_ < s_.size() && s_[i_] != '<' && s_[i_] != '&' && s_[i_] != '\r')
                    ++i_;
                run->value.append(s_.substr(from, i_ - from));
                if (i_ < s_.size() && s_[i_] == '\r') {  // "\r\n" and a lone "\r" read as "\n"
                    run->value.push_back('\n');
                    i_ += (i_ + 1 < s_.size() && s_[i_ + 1] == '\n') ? 2 : 1;
                    fresh = true;
                }
            }
        }
        fail("unclosed element <" + std::string(tag) + ">", start);
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::vector<std::size_t> lines_;  // byte offset of each line start
};

}  // namespace

Position locate(const TextRun &run, std::size_t offset) {
    auto it = std::upper_bound(run.origins.begin(), run.origins.end(), offset,
                               [](std::size_t off, const auto &o) { return off < o.first; });
    if (it == run.origins.begin())
        return {};
    --it;
    Position p = it->second;
    for (std::size_t k = it->first; k < offset && k < run.value.size(); ++k) {
        if (run.value[k] == '\n')
            p = {p.line + 1, 1};
        else
            p.col += !is_continuation(run.value[k]);
    }
    return p;
}

const XmlAttribute *XmlElement::attribute(std::string_view name) const noexcept {
    for (const XmlAttribute &a : attributes)
        if (a.name == name)
            return &a;
    return nullptr;
}

XmlElement parse_xml(std::string_view source) { return Reader(source).document(); }

std::vector<std::uint32_t> element_lines(std::string_view source) {
    std::vector<std::uint32_t> out;
    std::uint32_t line = 1;
    std::size_t counted = 0;  // newlines are counted up to here
    auto skip = [&](std::size_t from, std::string_view end) {
        std::size_t hit = source.find(end, from);
        return hit == std::string_view::npos ? source.size() : hit + end.size();
    };
    for (std::size_t i = source.find('<'); i < source.size(); i = source.find('<', i)) {
        std::string_view rest = source.substr(i);
        if (rest.substr(0, 4) == "<!--") {
            i = skip(i + 4, "-->");
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            i = skip(i + 9, "]]>");
        } else if (rest.substr(0, 2) == "<?") {
            i = skip(i + 2, "?>");
        } else if (rest.substr(0, 2) == "<!") {  // DOCTYPE, with an internal subset in brackets
            int depth = 0;
            char quote = 0;  // quoted literals may hold brackets and '>'
            for (++i; i < source.size() && (quote || !(source[i] == '>' && depth <= 0)); ++i) {
                if (quote || source[i] == '"' || source[i] == '\'')
                    quote = quote == source[i] ? 0 : quote ? quote : source[i];
                else
                    depth += source[i] == '[' ? 1 : source[i] == ']' ? -1 : 0;
            }
        } else if (rest.substr(0, 2) == "</") {
            i += 2;
        } else {
            // '\r' alone ends a line too, but then so does the '\n' of "\r\n": count '\n' and lone '\r'.
            for (; counted < i; ++counted)
                line += source[counted] == '\n' || (source[counted] == '\r' && (counted + 1 >= source.size() ||
                                                                                 source[counted + 1] != '\n'));
            out.push_back(line);
            char quote = 0;  // attribute values may hold '>'
            for (++i; i < source.size() && (quote || source[i] != '>'); ++i)
                if (source[i] == '"' || source[i] == '\'')
                    quote = quote == source[i] ? 0 : quote ? quote : source[i];
        }
    }
    return out;
}

}  // namespace zorvane::core
