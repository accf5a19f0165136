#include "http/uri_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Encoded(std::string s) {
    EncodeText(&s);
    return s;
}

std::string Decoded(std::string s) {
    DecodeText(&s);
    return s;
}

}  // namespace

TEST(UriCodec, EncodeKeepsOnlyTheUnreservedSetInUpperCaseHex) {
    EXPECT_EQ(Encoded("a~b c/d"), "a%7Eb%20c%2Fd");
    EXPECT_EQ(Encoded("*+-.@_Az09?=&%\xC3\xA9"), "*+-.@_Az09%3F%3D%26%25%C3%A9");
    int kept = 0;
    for (int c = 1; c < 256; ++c) {
        std::string one(1, static_cast<char>(c));
        if (Encoded(one) == one) ++kept;
    }
    EXPECT_EQ(kept, 68);
    EXPECT_EQ(Encoded(""), "");
}

TEST(UriCodec, DecodeLeavesTheLastTwoCharactersPlusAndBadEscapesAlone) {
    EXPECT_EQ(Decoded("a%2"), "a%2");
    EXPECT_EQ(Decoded("%41%4"), "A%4");
    EXPECT_EQ(Decoded("%4G"), "%4G");
    EXPECT_EQ(Decoded("%%41"), "%A");
    EXPECT_EQ(Decoded("a%2fb%2F+"), "a/b/+");
    EXPECT_EQ(Decoded("ab%00cd"), "ab");  // the result is a C string
    EXPECT_EQ(Decoded(""), "");
}

TEST(UriCodec, ReportsLengthFirstAndNeverWritesPastTheBuffer) {
    utCUriCodec codec;
    std::size_t length = 0;
    ASSERT_EQ(codec.Encode("a b", nullptr, 0, &length), kUriOk);
    EXPECT_EQ(length, 5u);
    char buffer[6] = {'X', 'X', 'X', 'X', 'X', 'X'};
    EXPECT_EQ(codec.Encode("a b", buffer, 5, &length), kUriFail);
    EXPECT_EQ(std::string(buffer, 6), "XXXXXX");
    ASSERT_EQ(codec.Encode("a b", buffer, length + 1, &length), kUriOk);
    EXPECT_STREQ(buffer, "a%20b");
    ASSERT_EQ(codec.Decode("a%00b", nullptr, 0, &length), kUriOk);
    EXPECT_EQ(length, 1u);

    EXPECT_EQ(codec.Encode(nullptr, nullptr, 0, &length), kUriFail);
    EXPECT_EQ(codec.Decode("", nullptr, 0, &length), kUriFail);
    EXPECT_EQ(codec.Decode("x", nullptr, 0, nullptr), kUriFail);
}
