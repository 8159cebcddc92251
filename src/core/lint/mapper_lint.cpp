// src/core/lint/mapper_lint.cpp: static checks of mapper files, without a database or parameters.
#include "lint/mapper_lint.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

namespace zorvane::core {
namespace {

bool is_statement_tag(std::string_view t) {
    return t == "sql" || t == "select" || t == "insert" || t == "update" || t == "delete";
}

bool is_dynamic_tag(std::string_view t) {
    return t == "include" || t == "sql" || t == "if" || t == "where" || t == "trim" || t == "set" ||
           t == "choose" || t == "when" || t == "otherwise" || t == "foreach";
}

bool is_bind_name(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return c == '_' || c == '-' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    });
}

std::string_view trimmed(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\n\r"), e = s.find_last_not_of(" \t\n\r");
    return b == std::string_view::npos ? std::string_view() : s.substr(b, e - b + 1);
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

class FileLinter {
public:
    FileLinter(const std::string &path, const XmlElement &root, LintHost &host,
               std::unordered_map<std::string, std::string> &compiled, std::vector<Finding> &out)
        : path_(path), root_(root), host_(host), compiled_(compiled), out_(out) {}

    void run() {
        std::map<std::string, Position> first;
        std::map<std::string, std::pair<Position, bool>> kinds;  // id -> (first element, has one without db_type)
        for (const XmlElement &child : root_.children) {
            if (!is_statement_tag(child.tag)) {
                add(child.at, "ZV104", "<" + child.tag + "> at the top level is not a statement and is ignored",
                    Severity::Warning);
                continue;
            }
            const XmlAttribute *id = child.attribute("id");
            if (!id) {
                add(child.at, "ZV005", "<" + child.tag + "> without id");
                continue;
            }
            // A db_type makes a variant for one database kind: the same id with another (or no)
            // db_type is no duplicate.
            const XmlAttribute *db_type = child.attribute("db_type");
            std::string kind = db_type ? db_type->value == "mariadb" ? "mysql" : db_type->value : "";
            if (db_type && kind != "mysql" && kind != "postgresql" && kind != "sqlite")
                add(db_type->at, "ZV016", "db_type " + quoted(db_type->value) + " is not postgresql, mysql or sqlite");
            auto [known, fresh] = first.emplace(id->value + '\0' + kind, id->at);
            if (!fresh)
                add(id->at, "ZV006", "duplicate id " + quoted(id->value) + (db_type ? " for db_type " + quoted(kind) : "") +
                                         " (first at line " + std::to_string(known->second.line) + "); this one replaces it");
            auto &seen = kinds[id->value];
            if (seen.first.line == 0)
                seen.first = id->at;
            seen.second = seen.second || !db_type;
            if (!db_type || !registered_.count(id->value))
                registered_[id->value] = &child;  // the last one without db_type wins, as when loading
            if (child.tag == "select")
                if (const XmlAttribute *rt = child.attribute("resultType")) {
                    std::string why = host_.result_type_error(rt->value);
                    if (!why.empty())
                        add(rt->at, "ZV102", "resultType " + quoted(rt->value) + " cannot be used: " + why,
                            Severity::Warning);
                }
        }
        for (const auto &[id, seen] : kinds)
            if (!seen.second)
                add(seen.first, "ZV105",
                    "statement " + quoted(id) + " has db_type variants but none without db_type for other databases",
                    Severity::Warning);
        for (const XmlElement &child : root_.children)
            if (is_statement_tag(child.tag))
                if (const XmlAttribute *id = child.attribute("id"))
                    body(child, id->value);
        cycles();
    }

private:
    void add(Position at, const char *code, std::string message, Severity severity = Severity::Error) {
        out_.push_back(Finding{path_, at, code, severity, std::move(message)});
    }

    void body(const XmlElement &e, const std::string &id) {
        placeholders(e.text);
        for (const XmlElement &child : e.children) {
            element(child, id);
            placeholders(child.tail);
        }
    }

    void element(const XmlElement &e, const std::string &id) {
        const std::string &t = e.tag;
        if (!is_dynamic_tag(t)) {
            add(e.at, "ZV007", "unsupported element <" + t + "> in statement " + quoted(id));
            return;
        }
        if (t == "if") {
            if (const XmlAttribute *test = required(e, "test"))
                expression(*test, false);
        } else if (t == "choose") {
            bool any = false;
            for (const XmlElement &c : e.children)
                if (c.tag == "when") {
                    any = true;
                    if (const XmlAttribute *test = required(c, "test"))
                        expression(*test, false);
                }
            if (!any)
                add(e.at, "ZV012", "<choose> without any <when>");
        } else if (t == "foreach") {
            foreach_(e);
        } else if (t == "include") {
            include(e);
        }
        body(e, id);
    }

    const XmlAttribute *required(const XmlElement &e, std::string_view name) {
        const XmlAttribute *a = e.attribute(name);
        if (!a)
            add(e.at, "ZV008", "<" + e.tag + "> without required attribute " + quoted(name));
        return a;
    }

    void expression(const XmlAttribute &a, bool collection) {
        auto [it, fresh] = compiled_.try_emplace((collection ? "c" : "t") + a.value);
        if (fresh)
            it->second = host_.expression_error(a.value, collection);
        if (!it->second.empty())
            add(a.at, "ZV011", std::string(collection ? "foreach collection " : "test ") + quoted(a.value) +
                                   " does not compile: " + it->second);
    }

    void foreach_(const XmlElement &e) {
        const XmlAttribute *item = required(e, "item");
        if (const XmlAttribute *collection = required(e, "collection"))
            expression(*collection, true);
        for (std::string_view name : {"open", "close", "separator"})
            required(e, name);
        if (!item)
            return;
        // Only the exact text #{item} is replaced per entry, also inside included fragments.
        std::string mark = "#{" + item->value + "}";
        std::set<const XmlElement *> seen;
        if (!uses(e, mark, seen, true))
            add(item->at, "ZV103", "foreach body never uses its item " + quoted(item->value) + " (as " + mark + ")",
                Severity::Warning);
    }

    bool uses(const XmlElement &e, const std::string &mark, std::set<const XmlElement *> &seen, bool top) {
        if (e.text.value.find(mark) != std::string::npos)
            return true;
        if (!top && e.tail.value.find(mark) != std::string::npos)
            return true;
        if (e.tag == "include")
            if (const XmlElement *f = fragment(e); f && seen.insert(f).second && uses(*f, mark, seen, true))
                return true;
        for (const XmlElement &c : e.children)
            if (uses(c, mark, seen, false))
                return true;
        return false;
    }

    // The sql fragment an include names, or null.
    const XmlElement *fragment(const XmlElement &include) const {
        const XmlAttribute *refid = include.attribute("refid");
        auto it = refid ? registered_.find(refid->value) : registered_.end();
        return it != registered_.end() && it->second->tag == "sql" ? it->second : nullptr;
    }

    void include(const XmlElement &e) {
        const XmlAttribute *refid = required(e, "refid");
        if (!refid)
            return;
        auto it = registered_.find(refid->value);
        if (it == registered_.end())
            add(refid->at, "ZV009", "include refid " + quoted(refid->value) + " names no sql fragment");
        else if (it->second->tag != "sql")
            add(refid->at, "ZV009", "include refid " + quoted(refid->value) + " names a <" + it->second->tag +
                                        ">, not an sql fragment");
    }

    void includes_of(const XmlElement &e, std::vector<const XmlElement *> &out) const {
        for (const XmlElement &c : e.children) {
            if (c.tag == "include")
                out.push_back(&c);
            includes_of(c, out);
        }
    }

    // Each include that closes a cycle of fragments, reported once with the chain.
    void cycles() {
        std::map<const XmlElement *, int> state;  // 1: on the current path, 2: done
        std::vector<std::string> chain;
        for (const auto &[id, f] : registered_)
            if (f->tag == "sql")
                visit(id, *f, state, chain);
    }

    void visit(const std::string &id, const XmlElement &f, std::map<const XmlElement *, int> &state,
               std::vector<std::string> &chain) {
        if (state[&f])
            return;
        state[&f] = 1;
        chain.push_back(id);
        std::vector<const XmlElement *> incs;
        includes_of(f, incs);
        for (const XmlElement *inc : incs) {
            const XmlElement *target = fragment(*inc);
            if (!target)
                continue;
            const std::string &ref = inc->attribute("refid")->value;
            if (state[target] == 1) {
                std::string text;
                auto from = std::find(chain.begin(), chain.end(), ref);
                for (auto it = from; it != chain.end(); ++it)
                    text += *it + " -> ";
                add(inc->at, "ZV010", "include cycle: " + text + ref);
            } else {
                visit(ref, *target, state, chain);
            }
        }
        chain.pop_back();
        state[&f] = 2;
    }

    // #{...} and ${...} markers of one text run.
    void placeholders(const TextRun &run) {
        const std::string &s = run.value;
        for (std::size_t i = 0; i + 1 < s.size(); ++i) {
            if (s[i + 1] != '{' || (s[i] != '#' && s[i] != '$'))
                continue;
            std::size_t close = s.find_first_of("}\n{", i + 2);
            Position at = locate(run, i);
            if (close == std::string::npos || s[close] != '}') {
                std::size_t end = std::min(s.find('\n', i), std::min(s.size(), i + 30));
                while (end < s.size() && end > i && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
                    --end;  // whole code points only
                add(at, "ZV013", "unclosed placeholder " + quoted(std::string_view(s).substr(i, end - i)));
                continue;
            }
            std::string_view marker = std::string_view(s).substr(i, close - i + 1);
            std::string_view name = trimmed(marker.substr(2, marker.size() - 3));
            if (name.empty())
                add(at, "ZV013", "empty placeholder name " + quoted(marker));
            else if (s[i] == '$')
                add(at, "ZV101", std::string(marker) + " splices parameter " + quoted(name) +
                                     " into the SQL unescaped", Severity::Warning);
            else if (!is_bind_name(marker.substr(2, marker.size() - 3)))
                add(at, "ZV013", "placeholder " + quoted(marker) +
                                     " cannot be bound: names are letters, digits, '_' and '-' only");
            i = close;
        }
    }

    const std::string &path_;
    const XmlElement &root_;
    LintHost &host_;
    std::unordered_map<std::string, std::string> &compiled_;  // expression -> compile error
    std::vector<Finding> &out_;
    std::map<std::string, const XmlElement *> registered_;
};

}  // namespace

std::vector<Finding> lint_files(const std::vector<SourceFile> &files, LintHost &host) {
    std::vector<Finding> out;
    std::unordered_map<std::string, std::string> compiled;
    std::map<std::string, std::pair<std::string, Position>> namespaces;  // name -> first declaration
    for (const SourceFile &file : files) {
        XmlElement root;
        try {
            root = parse_xml(file.text);
        } catch (const XmlError &e) {
            out.push_back(Finding{file.path, e.at, "ZV001", Severity::Error, std::string("not well-formed XML: ") + e.what()});
            continue;
        }
        const XmlAttribute *ns = root.attribute("namespace");
        if (root.tag != "mapper")
            out.push_back(Finding{file.path, root.at, "ZV002", Severity::Error,
                                  "root element is <" + root.tag + ">, expected <mapper>"});
        else if (!ns || trimmed(ns->value).empty())
            out.push_back(Finding{file.path, root.at, "ZV003", Severity::Error, "<mapper> without a namespace"});
        else if (auto [it, fresh] = namespaces.try_emplace(ns->value, file.path, ns->at); !fresh)
            out.push_back(Finding{file.path, ns->at, "ZV004", Severity::Error,
                                  "namespace " + quoted(ns->value) + " is also declared by " + it->second.first +
                                      ":" + std::to_string(it->second.second.line)});
        FileLinter(file.path, root, host, compiled, out).run();
    }
    std::stable_sort(out.begin(), out.end(), [](const Finding &a, const Finding &b) {
        return std::tie(a.path, a.at.line, a.at.col, a.code) < std::tie(b.path, b.at.line, b.at.col, b.code);
    });
    return out;
}

}  // namespace zorvane::core
