// tests/fuzz/fuzz_xml.cpp: the mapper file reader, its line scan and the lint over it.
#include "fuzz/harness.hpp"
#include "lint/mapper_lint.hpp"
#include "xml/xml_tree.hpp"

using namespace zorvane::core;
using zorvane::fuzz::check;
using zorvane::fuzz::is_utf8;

namespace {

// Expressions with an unbalanced "(" fail, as the host's compiler would.
struct Host final : LintHost {
    std::string expression_error(std::string_view expr, bool) override {
        return std::count(expr.begin(), expr.end(), '(') != std::count(expr.begin(), expr.end(), ')') ? "unbalanced"
                                                                                                        : "";
    }
    std::string result_type_error(std::string_view) override { return {}; }
};

struct Walk {
    std::string_view data;
    std::uint32_t lines;
    bool utf8;
    std::vector<std::uint32_t> starts;

    void position(Position p) const {
        check(p.line >= 1 && p.line <= lines && p.col >= 1, "positions inside the document", data);
    }
    void run(const TextRun &r) const {
        check(!utf8 || is_utf8(r.value), "text stays UTF-8", data);
        for (std::size_t k : {std::size_t{0}, r.value.size() / 2, r.value.size()})
            if (!r.origins.empty())
                position(locate(r, k));
    }
    void element(const XmlElement &e) {
        position(e.at);
        starts.push_back(e.at.line);
        check(!utf8 || is_utf8(e.tag), "tags stay UTF-8", data);
        for (const XmlAttribute &a : e.attributes) {
            position(a.at);
            check(!utf8 || (is_utf8(a.name) && is_utf8(a.value)), "attributes stay UTF-8", data);
        }
        run(e.text);
        for (const XmlElement &c : e.children) {
            element(c);
            run(c.tail);
        }
    }
};

}  // namespace

ZORVANE_FUZZ_TARGET(xml) {
    auto lines = static_cast<std::uint32_t>(1 + std::count(data.begin(), data.end(), '\n') +
                                            std::count(data.begin(), data.end(), '\r'));
    Walk walk{data, lines, is_utf8(data), {}};
    try {
        walk.element(parse_xml(data));
        check(element_lines(data) == walk.starts, "the line scan agrees with the reader", data);
    } catch (const XmlError &e) {
        walk.position(e.at);
    }
    Host host;
    for (const Finding &f : lint_files({SourceFile{"a.xml", std::string(data)}}, host)) {
        walk.position(f.at);
        check(!walk.utf8 || is_utf8(f.message), "findings stay UTF-8", data);
    }
}
