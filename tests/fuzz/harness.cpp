// tests/fuzz/harness.cpp: the harness registry and the failure report.
#include "fuzz/harness.hpp"

#include <cstdio>

namespace zorvane::fuzz {

std::map<std::string, Target> &targets() {
    static std::map<std::string, Target> all;
    return all;
}

bool register_target(const char *name, Target target) {
    targets()[name] = target;
    return true;
}

void fail(const char *what, std::string_view input) {
    std::string shown;
    for (unsigned char c : input.substr(0, 200)) {
        char buf[8];
        std::snprintf(buf, sizeof buf, (c >= 0x20 && c < 0x7F && c != '\\') ? "%c" : "\\x%02X", c);
        shown += buf;
    }
    throw std::logic_error(std::string(what) + " for input \"" + shown + "\"");
}

}  // namespace zorvane::fuzz
