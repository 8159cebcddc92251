// src/bindings/cli.cpp: zorvane.cli, the `zorvane` command: lint mapper files, render one statement.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <tuple>

#include "glue/body.hpp"
#include "glue/call.hpp"
#include "glue/common.hpp"
#include "glue/expression.hpp"
#include "lint/mapper_lint.hpp"
#include "text/sql_text.hpp"

namespace {
using namespace zorvane;
namespace fs = std::filesystem;

glue::Lazy get_type_from_string{"zorvane.utils.pennick", "get_type_from_string"};
glue::Lazy is_container_type_by_str{"zorvane.utils.pennick", "is_container_type_by_str"};
glue::Lazy json_dumps{"json", "dumps"};
glue::Lazy json_loads{"json", "loads"};
glue::Lazy parse_mapper_cls{"zorvane.mapper.vantrel", "ParseMapper"};
glue::Lazy base_mapper_cls{"zorvane.zorvane", "BaseMapper"};
glue::Lazy async_base_mapper_cls{"zorvane.zorvane", "AsyncBaseMapper"};
glue::Lazy inspect_signature{"inspect", "signature"};

// Bad usage or an unreadable path: exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using glue::text_of;

// Text read from files in other encodings reaches the output with replacement characters.
nb::str lenient_str(std::string_view s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o)
        throw nb::python_error();
    return nb::steal<nb::str>(o);
}

void write(const char *stream, const std::string &text) {
    nb::module_::import_("sys").attr(stream).attr("write")(lenient_str(text));
}

// "Type: message"; a SyntaxError gives its message without the location of the text
// it compiled, which is not the mapper file.
std::string describe(const nb::python_error &e, bool short_syntax) {
    nb::handle v = e.value();
    nb::object msg = short_syntax ? nb::getattr(v, "msg", nb::none()) : nb::none();
    std::string text = PyUnicode_Check(msg.ptr()) ? text_of(msg) : text_of(v);
    return std::string(glue::type_name(v.ptr())) + ": " + text;
}

class PyLintHost final : public core::LintHost {
public:
    explicit PyLintHost(bool imports) : imports_(imports) {}

    std::string expression_error(std::string_view expr, bool collection) override {
        try {
            glue::compile_expression(expr, collection ? "<foreach collection>" : "<test>");
            return {};
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            return describe(e, true);
        }
    }

    // The checks of loading a select's resultType.
    std::string result_type_error(std::string_view type_name) override {
        if (!imports_ || type_name == "dict")
            return {};
        try {
            nb::str name = glue::make_str(type_name);
            nb::object type = get_type_from_string(name);
            if (glue::truthy(is_container_type_by_str(name)) && !type.is(nb::handle((PyObject *)&PyDict_Type)))
                return "a container other than dict";
            return {};
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            return describe(e, false);
        }
    }

private:
    bool imports_;
};

// The files `paths` name: files as given, directories searched for *.xml, sorted.
std::vector<std::string> mapper_files(const std::vector<std::string> &paths) {
    std::vector<std::string> out;
    for (const std::string &p : paths) {
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            std::vector<std::string> found;
            for (fs::recursive_directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
                if (it->path().extension() == ".xml" && it->is_regular_file())
                    found.push_back(it->path().string());
            if (ec)
                throw UsageError("cannot read " + p + ": " + ec.message());
            std::sort(found.begin(), found.end());
            out.insert(out.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(p, ec)) {
            out.push_back(p);
        } else {
            throw UsageError("cannot read " + p + ": no such file or directory");
        }
    }
    return out;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError("cannot read " + path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw UsageError("cannot read " + path);
    return text;
}

std::vector<std::string> strings(nb::handle seq) {
    std::vector<std::string> out;
    for (nb::handle item : seq)
        out.push_back(text_of(item));
    return out;
}

// Loaded mapper classes (BaseMapper and AsyncBaseMapper subclasses) named `name`.
void mapper_classes(nb::handle cls, const std::string &name, std::vector<nb::object> &out, int depth = 0) {
    if (depth > 64)
        return;
    for (nb::handle sub : cls.attr("__subclasses__")()) {
        if (text_of(sub.attr("__name__")) == name &&
            std::none_of(out.begin(), out.end(), [&](const nb::object &o) { return o.is(sub); }))
            out.push_back(nb::borrow(sub));
        mapper_classes(sub, name, out, depth + 1);
    }
}

// The statement text of `el` outside foreach bodies (whose names are items), includes resolved.
void text_outside_foreach(nb::handle el, nb::handle elements, std::string &out, int depth = 0) {
    if (depth > 32)
        return;
    if (nb::object t = el.attr("text"); !t.is_none())
        out += text_of(t);
    for (nb::handle child : el) {
        nb::object tag = child.attr("tag");
        std::string name = PyUnicode_Check(tag.ptr()) ? text_of(tag) : "";
        if (name == "include") {
            nb::object ref = elements.attr("get")(child.attr("get")("refid"));
            if (!ref.is_none())
                text_outside_foreach(ref, elements, out, depth + 1);
        } else if (name != "foreach") {
            text_outside_foreach(child, elements, out, depth + 1);
        }
        out += '\n';
        if (nb::object tail = child.attr("tail"); !tail.is_none())
            out += text_of(tail);
    }
}

// Line and column of the attribute <attr>="<value>" in `text`, else 1:1.
core::Position attr_position(const std::string &text, const std::string &value, const std::string &attr = "id") {
    for (const char *q : {"\"", "'"}) {
        std::size_t at = text.find(attr + "=" + std::string(q) + value + q);
        if (at == std::string::npos)
            continue;
        std::size_t line_start = text.rfind('\n', at);
        std::size_t line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
        return core::Position{static_cast<std::uint32_t>(line),
                              static_cast<std::uint32_t>(at - (line_start == std::string::npos ? 0 : line_start + 1) + 1)};
    }
    return core::Position{1, 1};
}

// A mapper file and the loaded mapper classes (BaseMapper and AsyncBaseMapper subclasses)
// named like its namespace: what the --import checks of a file look at.
struct MapperUse {
    const core::SourceFile &file;
    nb::object ns, elements;  // the namespace, the statements by id
    std::vector<nb::object> classes;
};

// With --import: a #{name} that the statement's mapper method, found among the loaded mapper
// classes, declares no parameter for. Calling the method would raise ParameterError.
void check_method_parameters(const MapperUse &use, std::vector<core::Finding> &out) {
    const core::SourceFile &file = use.file;
    const nb::object &elements = use.elements;
    for (const nb::object &cls : use.classes) {
        for (nb::handle id : elements) {
            nb::object method;
            for (nb::handle c : cls.attr("__mro__")) {
                if (c.is(base_mapper_cls.get()) || c.is(async_base_mapper_cls.get()))
                    break;
                if (nb::object m = c.attr("__dict__").attr("get")(id); !m.is_none()) {
                    method = m;
                    break;
                }
            }
            if (!method.is_valid() || !PyCallable_Check(method.ptr()))
                continue;
            nb::object sig;
            try {
                sig = inspect_signature(method);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                continue;
            }
            std::vector<std::string> params;
            bool any_keyword = false;
            for (nb::handle p : sig.attr("parameters").attr("values")()) {
                any_keyword = any_keyword || text_of(p.attr("kind").attr("name")) == "VAR_KEYWORD";
                params.push_back(text_of(p.attr("name")));
            }
            if (any_keyword || params.empty())
                continue;
            params.erase(params.begin());  // self
            std::string text;
            text_outside_foreach(elements[id], elements, text);
            for (std::string_view name : core::find_bind_names(text)) {
                if (name.find("_for_index_") != std::string_view::npos ||
                    std::find(params.begin(), params.end(), name) != params.end())
                    continue;
                std::string known;
                for (const std::string &p : params)
                    known += (known.empty() ? "" : ", ") + p;
                out.push_back(core::Finding{file.path, attr_position(file.text, text_of(id)), "ZV014",
                                            core::Severity::Error,
                                            "#{" + std::string(name) + "} names no parameter of " +
                                                text_of(cls.attr("__qualname__")) + "." + text_of(id) + " (parameters: " +
                                                (known.empty() ? "none" : known) + ")"});
                params.emplace_back(name);  // reported once per statement
            }
        }
    }
}

// With --import: a public method of the namespace's mapper class whose body is empty (only
// `...`, `pass` or a docstring) and whose name is no statement id. Calling it would raise
// StatementNotFoundError. Reported at the namespace attribute of the file.
void check_empty_methods(const MapperUse &use, std::vector<core::Finding> &out) {
    const std::string ns = text_of(use.ns);
    for (const nb::object &cls : use.classes) {
        nb::set seen;
        for (nb::handle c : cls.attr("__mro__")) {
            if (c.is(base_mapper_cls.get()) || c.is(async_base_mapper_cls.get()))
                break;
            for (nb::handle item : c.attr("__dict__").attr("items")()) {
                nb::object name = item[0], member = item[1];
                if (!PyUnicode_Check(name.ptr()) || glue::str_length(name.ptr()) == 0 ||
                    glue::str_char(name.ptr(), 0) == '_' || seen.contains(name))
                    continue;
                seen.add(name);  // the first class of the MRO that defines it decides
                if (glue::truthy(use.elements.attr("__contains__")(name)) || !glue::has_empty_body(member))
                    continue;
                nb::object fn = nb::getattr(member, "__func__", member);
                nb::object code = fn.attr("__code__");
                out.push_back(core::Finding{
                    use.file.path, attr_position(use.file.text, ns, "namespace"), "ZV015", core::Severity::Error,
                    text_of(cls.attr("__qualname__")) + "." + text_of(name) + " (" + text_of(code.attr("co_filename")) +
                        ":" + text_of(code.attr("co_firstlineno")) + ") has an empty body and namespace '" + ns +
                        "' has no statement '" + text_of(name) + "': calling it raises StatementNotFoundError"});
            }
        }
    }
}

// The --import checks of one file; a file that does not load is reported by its own checks.
void check_mapper_classes(const core::SourceFile &file, std::vector<core::Finding> &out) {
    nb::object mapper;
    try {
        mapper = parse_mapper_cls(lenient_str(file.path));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return;
    }
    MapperUse use{file, nb::getattr(mapper, "namespace", nb::none()), mapper.attr("id_2_element_map"), {}};
    if (use.ns.is_none())
        return;
    mapper_classes(base_mapper_cls.get(), text_of(use.ns), use.classes);
    mapper_classes(async_base_mapper_cls.get(), text_of(use.ns), use.classes);
    check_method_parameters(use, out);
    check_empty_methods(use, out);
}

int lint_command(nb::handle args) {
    bool imports = glue::truthy(args.attr("check_imports"));
    std::vector<core::SourceFile> files;
    for (std::string &path : mapper_files(strings(args.attr("paths"))))
        files.push_back(core::SourceFile{path, read_file(path)});
    if (imports)  // resultType names modules of the project being linted
        nb::module_::import_("sys").attr("path").attr("insert")(0, nb::module_::import_("os").attr("getcwd")());
    PyLintHost host(imports);
    std::vector<core::Finding> findings = core::lint_files(files, host);
    if (imports) {
        for (const core::SourceFile &f : files)
            check_mapper_classes(f, findings);
        std::stable_sort(findings.begin(), findings.end(), [](const core::Finding &a, const core::Finding &b) {
            return std::tie(a.path, a.at.line, a.at.col, a.code) < std::tie(b.path, b.at.line, b.at.col, b.code);
        });
    }
    bool errors = std::any_of(findings.begin(), findings.end(),
                              [](const core::Finding &f) { return f.severity == core::Severity::Error; });
    std::string out;
    if (text_of(args.attr("format")) == "json") {
        nb::list items;
        for (const core::Finding &f : findings) {
            nb::dict d;
            d["path"] = lenient_str(f.path);
            d["line"] = f.at.line;
            d["col"] = f.at.col;
            d["code"] = glue::make_str(f.code);
            d["severity"] = f.severity == core::Severity::Error ? "error" : "warning";
            d["message"] = lenient_str(f.message);
            items.append(d);
        }
        out = text_of(json_dumps(items, "indent"_a = 2)) + "\n";
    } else {
        for (const core::Finding &f : findings)
            out += f.path + ":" + std::to_string(f.at.line) + ":" + std::to_string(f.at.col) + ": " + f.code + " " +
                   f.message + "\n";
    }
    write("stdout", out);
    return errors ? 1 : 0;
}

std::string outcome_text(nb::handle outcome) {
    if (PyBool_Check(outcome.ptr()))
        return outcome.ptr() == Py_True ? "true" : "false";
    if (PyLong_Check(outcome.ptr()))
        return text_of(outcome) + (PyLong_AsLong(outcome.ptr()) == 1 ? " item" : " items");
    return text_of(outcome);
}

int render_command(nb::handle args) {
    std::string target = text_of(args.attr("statement"));
    std::size_t dot = target.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == target.size())
        throw UsageError("the statement is named NAMESPACE.ID, got '" + target + "'");
    std::string ns = target.substr(0, dot), id = target.substr(dot + 1);
    nb::object params;
    try {
        params = json_loads(args.attr("params"));
    } catch (nb::python_error &e) {
        throw UsageError("--params is not JSON: " + describe(e, false));
    }
    if (!PyDict_Check(params.ptr()))
        throw UsageError("--params must be a JSON object");

    nb::object parse_mapper = nb::module_::import_("zorvane.mapper.vantrel").attr("ParseMapper");
    nb::object mapper;
    for (const std::string &path : mapper_files({text_of(args.attr("path"))})) {
        nb::object m = parse_mapper(glue::make_str(path));
        nb::object declared = nb::getattr(m, "namespace", nb::none());
        if (PyUnicode_Check(declared.ptr()) && glue::utf8(declared) == ns) {
            mapper = m;
            break;
        }
    }
    if (!mapper.is_valid()) {
        write("stderr", "zorvane: no mapper file under " + text_of(args.attr("path")) + " declares namespace '" + ns +
                            "'\n");
        return 1;
    }
    nb::object e = mapper.attr("explain")(glue::make_str(id), params);
    std::string out = text_of(e.attr("sql")) + "\nparams: " + text_of(json_dumps(e.attr("params"), "default"_a = nb::module_::import_("builtins").attr("repr"))) + "\n";
    if (glue::truthy(args.attr("explain")))
        for (nb::handle d : e.attr("decisions")) {
            nb::object expression = d.attr("expression");
            out += "line " + text_of(d.attr("line")) + " <" + text_of(d.attr("tag")) + ">" +
                   (expression.is_none() ? std::string() : " " + text_of(expression)) + " -> " +
                   outcome_text(d.attr("outcome")) + "\n";
        }
    write("stdout", out);
    return 0;
}

nb::object build_parser() {
    nb::module_ argparse = nb::module_::import_("argparse");
    nb::object parser = argparse.attr("ArgumentParser")(
        "prog"_a = "zorvane", "description"_a = "Checks mapper files and shows the SQL a statement renders to.");
    nb::object sub = parser.attr("add_subparsers")("dest"_a = "command", "required"_a = true, "metavar"_a = "COMMAND");
    nb::object lint = sub.attr("add_parser")("lint", "help"_a = "check mapper files without a database");
    lint.attr("add_argument")("paths", "nargs"_a = "+", "metavar"_a = "PATH",
                              "help"_a = "mapper files, or directories searched for *.xml");
    lint.attr("add_argument")("--format", "choices"_a = nb::make_tuple("text", "json"), "default"_a = "text");
    lint.attr("add_argument")("--import", "dest"_a = "check_imports", "action"_a = "store_true",
                              "help"_a = "import each resultType (runs project code)");
    nb::object render = sub.attr("add_parser")("render", "help"_a = "render one statement with given parameters");
    render.attr("add_argument")("path", "metavar"_a = "PATH", "help"_a = "a mapper file or a directory of them");
    render.attr("add_argument")("statement", "metavar"_a = "NAMESPACE.ID");
    render.attr("add_argument")("--params", "default"_a = "{}", "metavar"_a = "JSON",
                                "help"_a = "the parameters, a JSON object");
    render.attr("add_argument")("--explain", "action"_a = "store_true", "help"_a = "list each dynamic decision");
    return parser;
}

int main_shim(nb::handle argv) {
    nb::object args;
    try {
        nb::list given = argv.is_none() ? nb::list(nb::module_::import_("sys").attr("argv")) : nb::list(argv);
        if (argv.is_none() && nb::len(given) > 0)
            given.attr("pop")(0);  // the program name
        args = build_parser().attr("parse_args")(given);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SystemExit))
            throw;
        nb::object code = e.value().attr("code");
        return code.is_none() ? 0 : PyLong_Check(code.ptr()) ? (int)PyLong_AsLong(code.ptr()) : 2;
    }
    try {
        return text_of(args.attr("command")) == "lint" ? lint_command(args) : render_command(args);
    } catch (const UsageError &u) {
        write("stderr", std::string("zorvane: ") + u.what() + "\n");
        return 2;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        std::string text = "zorvane: " + describe(e, false) + "\n";
        for (nb::handle note : nb::getattr(e.value(), "__notes__", nb::list()))
            text += "  " + text_of(note) + "\n";
        write("stderr", text);
        return 1;
    }
}

}  // namespace

NB_MODULE(cli, m) {
    zorvane::glue::start_module();
    m.doc() = "The zorvane command: `zorvane lint PATH...` and `zorvane render PATH NAMESPACE.ID`.";
    m.def("main", &main_shim, "argv"_a = nb::none(),
          nb::sig("def main(argv: collections.abc.Sequence[str] | None = None) -> int"),
          "Runs the command line `argv` (sys.argv[1:] when None) and returns its exit status.");
}
