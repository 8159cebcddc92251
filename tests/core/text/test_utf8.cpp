// tests/core/text/test_utf8.cpp
#include <gtest/gtest.h>

#include "text/utf8.hpp"

using namespace zorvane::core;

TEST(DecodeUtf8, WellFormedSequencesDecodeWhole) {
    const std::pair<std::string_view, char32_t> cases[] = {
        {"a", U'a'}, {"\xC3\xA9", U'\u00E9'}, {"\xE3\x80\x80", U'\u3000'}, {"\xF0\x9F\x98\x80", U'\U0001F600'}};
    for (const auto &[bytes, cp] : cases) {
        std::size_t len = 0;
        EXPECT_EQ(decode_utf8(bytes, 0, len), cp);
        EXPECT_EQ(len, bytes.size());
    }
}

TEST(DecodeUtf8, MalformedSequencesDecodeAsTheirFirstByte) {
    // Overlong forms of " " and U+3000, a surrogate, past U+10FFFF, truncated, stray continuation.
    for (std::string_view bytes : {"\xC0\xA0", "\xE0\x80\xA0", "\xF0\x83\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                   "\xE3\x80", "\x80"}) {
        std::size_t len = 0;
        EXPECT_EQ(decode_utf8(bytes, 0, len), static_cast<unsigned char>(bytes[0])) << testing::PrintToString(bytes);
        EXPECT_EQ(len, 1u);
        EXPECT_EQ(space_len(bytes, 0), 0u);
    }
    EXPECT_EQ(strip_py("x\xC0\xA0"), "x\xC0\xA0");
}

TEST(SpaceEndsAt, DecodesTheCodePointBeforeAsAForwardScanWould) {
    // "\xC3\xA0" is a letter whose last byte alone would decode as U+00A0.
    const std::pair<std::string_view, bool> cases[] = {
        {"a ", true},     {"a\xC2\xA0", true}, {"a\xE3\x80\x80", true}, {"\xC3\xA0", false},
        {"\xC2\xA0\xA0", true}, {"a", false},        {"\xE0\xA4\x85", false}, {"\x80\x80\x80\x80\xA0", true}};
    for (const auto &[bytes, space] : cases)
        EXPECT_EQ(space_ends_at(bytes, bytes.size()), space) << testing::PrintToString(bytes);
    EXPECT_FALSE(space_ends_at("x", 0));
}
