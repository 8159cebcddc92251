// tests/core/test_fuzz_inputs.cpp: replays the seed corpora and the saved findings of every fuzz harness.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/harness.hpp"

namespace fs = std::filesystem;

namespace {

std::size_t replay(const std::string &name, zorvane::fuzz::Target target, const char *kind) {
    fs::path dir = fs::path(ZORVANE_FUZZ_DIR) / kind / name;
    std::size_t n = 0;
    if (!fs::is_directory(dir))
        return n;
    for (const auto &entry : fs::directory_iterator(dir)) {
        std::ifstream f(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << f.rdbuf();
        std::string input = bytes.str();
        EXPECT_NO_THROW(target(input)) << entry.path();
        ++n;
    }
    return n;
}

}  // namespace

TEST(FuzzInputs, EveryHarnessPassesItsCorpusAndFindings) {
    const auto &targets = zorvane::fuzz::targets();
    ASSERT_GE(targets.size(), 6u);
    for (const auto &[name, target] : targets) {
        SCOPED_TRACE(name);
        EXPECT_GT(replay(name, target, "corpus"), 0u) << "no seed corpus";
        replay(name, target, "regressions");
    }
}
