// tests/fuzz/fuzz_utf8.cpp: decoding, whitespace lengths and stripping on arbitrary bytes.
#include "fuzz/harness.hpp"
#include "text/utf8.hpp"

using namespace zorvane::core;
using zorvane::fuzz::check;
using zorvane::fuzz::valid_len;

namespace {

std::string encode(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

}  // namespace

ZORVANE_FUZZ_TARGET(utf8) {
    bool valid = true;
    for (std::size_t i = 0; i < data.size();) {
        std::size_t len = 0;
        char32_t c = decode_utf8(data, i, len);
        check(len >= 1 && len <= 4 && i + len <= data.size(), "decode_utf8 steps within the input", data);
        std::size_t v = valid_len(data, i);
        if (v) {
            // Well-formed text decodes exactly and re-encodes to the same bytes.
            check(len == v && encode(c) == data.substr(i, len), "decode_utf8 round trip", data);
        } else {
            valid = false;
            check(len == 1 && c == static_cast<unsigned char>(data[i]), "malformed byte decodes as itself", data);
        }
        std::size_t ws = space_len(data, i);
        check(ws == (is_py_space(c) ? len : 0), "space_len agrees with is_py_space", data);
        i += len;
    }
    std::string_view t = strip_py(data);
    check(t.data() >= data.data() && t.data() + t.size() <= data.data() + data.size(), "strip_py stays inside", data);
    check(strip_py(t) == t, "strip_py is idempotent", data);
    if (valid && !t.empty()) {
        check(space_len(t, 0) == 0, "no leading whitespace after strip_py", data);
        std::size_t last = t.size() - 1;
        while (last > 0 && (static_cast<unsigned char>(t[last]) & 0xC0) == 0x80)
            --last;
        check(space_len(t, last) == 0, "no trailing whitespace after strip_py", data);
    }
}
