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

std::size_t valid_len(std::string_view s, std::size_t i) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = at(i);
    if (b < 0x80)
        return 1;
    std::size_t n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (!n || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((at(i + k) & 0xC0) != 0x80)
            return 0;
    unsigned char c = at(i + 1);
    if ((b == 0xE0 && c < 0xA0) || (b == 0xED && c > 0x9F) || (b == 0xF0 && c < 0x90) || (b == 0xF4 && c > 0x8F))
        return 0;
    return n;
}

bool is_utf8(std::string_view s) {
    for (std::size_t i = 0, n; i < s.size(); i += n)
        if (!(n = valid_len(s, i)))
            return false;
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
