// src/core/lint/mapper_lint.hpp: static checks of mapper files, without a database or parameters.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "xml/xml_tree.hpp"

namespace zorvane::core {

enum class Severity { Error, Warning };

struct Finding {
    std::string path;
    Position at;
    std::string code;  // "ZV" + three digits
    Severity severity;
    std::string message;
};

// What only the host can judge. Both return an empty text when all is well.
struct LintHost {
    virtual ~LintHost() = default;
    // Why expression `expr` does not compile (`collection`: a foreach collection).
    virtual std::string expression_error(std::string_view expr, bool collection) = 0;
    // Why result type `type_name` cannot be used; hosts that do not import answer "".
    virtual std::string result_type_error(std::string_view type_name) = 0;
};

struct SourceFile {
    std::string path;
    std::string text;  // the file's bytes, UTF-8
};

// Findings of all `files` (namespaces are compared across them), sorted by path, line,
// column and code. The host may throw; nothing is caught here.
std::vector<Finding> lint_files(const std::vector<SourceFile> &files, LintHost &host);

}  // namespace zorvane::core
