// tests/fuzz/harness.hpp: one property check per core entry point, run by libFuzzer or replayed by GoogleTest.
#pragma once
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zorvane::fuzz {

using Target = void (*)(std::string_view data);

// Every harness linked into the replay test, by name (the folder of its inputs).
std::map<std::string, Target> &targets();
bool register_target(const char *name, Target target);

// Length of the well-formed UTF-8 sequence at `i` (RFC 3629), 0 when there is none;
// an independent reference for the core's decoder.
std::size_t valid_len(std::string_view s, std::size_t i);
bool is_utf8(std::string_view s);

// A violated property: throws, which aborts a fuzzing run and fails a replay.
[[noreturn]] void fail(const char *what, std::string_view input);
inline void check(bool ok, const char *what, std::string_view input) {
    if (!ok)
        fail(what, input);
}

// Consumes fuzzer bytes as small numbers and strings; yields zeros once drained.
class Bytes {
public:
    explicit Bytes(std::string_view data) : data_(data) {}
    bool empty() const noexcept { return data_.empty(); }
    std::uint8_t byte() noexcept {
        if (data_.empty())
            return 0;
        auto b = static_cast<std::uint8_t>(data_.front());
        data_.remove_prefix(1);
        return b;
    }
    std::size_t below(std::size_t n) noexcept { return n ? byte() % n : 0; }
    // A string of up to `max` bytes, its length taken from the next byte.
    std::string_view text(std::size_t max) noexcept {
        std::size_t n = below(max + 1);  // consumed before the size below is read
        n = std::min(n, data_.size());
        std::string_view s = data_.substr(0, n);
        data_.remove_prefix(n);
        return s;
    }
    std::string_view rest() const noexcept { return data_; }

private:
    std::string_view data_;
};

}  // namespace zorvane::fuzz

// Defines the harness `name` taking `std::string_view data`: the libFuzzer entry point in
// a fuzzing build, an entry of targets() otherwise.
#ifdef ZORVANE_FUZZ_ENGINE
#define ZORVANE_FUZZ_TARGET(name)                                                             \
    static void name##_target(std::string_view data);                                         \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *d, std::size_t n) {             \
        try {                                                                                 \
            name##_target(std::string_view(reinterpret_cast<const char *>(d), n));            \
        } catch (const std::logic_error &e) {                                                 \
            std::fprintf(stderr, "property violated: %s\n", e.what());                        \
            std::abort();                                                                     \
        }                                                                                     \
        return 0;                                                                             \
    }                                                                                         \
    static void name##_target(std::string_view data)
#else
#define ZORVANE_FUZZ_TARGET(name)                                                             \
    static void name##_target(std::string_view data);                                         \
    static const bool name##_registered = ::zorvane::fuzz::register_target(#name, &name##_target); \
    static void name##_target(std::string_view data)
#endif
