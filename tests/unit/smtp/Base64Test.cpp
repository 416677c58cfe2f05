#include "smtp/Base64.h"

#include <gtest/gtest.h>

#include <random>

using namespace smtpin;

namespace {

// The bit-text algorithm the decoder must match for every input.
std::string referenceDecode(const std::string& s)
{
    std::string bits;
    for (char c : s)
        bits += CharToBits(c);
    std::string out;
    for (size_t i = 0; i + 8 <= bits.size(); i += 8)
        out += static_cast<char>(BitsToByte(bits.substr(i, 8)));
    return out;
}

TEST(Base64DecodeLine, KnownVectors)
{
    EXPECT_EQ(Base64DecodeLine("QUJD"), "ABC");
    EXPECT_EQ(Base64DecodeLine("QUI="), "AB");
    EXPECT_EQ(Base64DecodeLine("QQ=="), "A");
    EXPECT_EQ(Base64DecodeLine("QU JD"), "ABC");
    EXPECT_EQ(Base64DecodeLine("Q\tU\rJ-D"), "ABC");
    EXPECT_EQ(Base64DecodeLine(""), "");
    EXPECT_EQ(Base64DecodeLine("===="), "");
    // Letter case is significant: "a" is 26, "A" is 0.
    EXPECT_EQ(Base64DecodeLine("YQ=="), "a");
    EXPECT_NE(Base64DecodeLine("yq=="), "a");
    // An unfinished group is dropped.
    EXPECT_EQ(Base64DecodeLine("QUJDR"), "ABC");
    // Bytes above 127 pass through as single characters.
    EXPECT_EQ(Base64DecodeLine("/w=="), std::string(1, '\xff'));
}

TEST(Base64DecodeLine, MatchesBitTextAlgorithmOnRandomInput)
{
    const std::string pool = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/= \t-_.*\x80\xff";
    std::mt19937 rng(42);
    for (int n = 0; n < 2000; ++n) {
        std::string s(rng() % 40, ' ');
        for (auto& c : s)
            c = pool[rng() % pool.size()];
        ASSERT_EQ(Base64DecodeLine(s), referenceDecode(s)) << "input: " << s;
    }
}

TEST(Base64Tables, BitTextsAndBytes)
{
    EXPECT_EQ(CharToBits('A'), "000000");
    EXPECT_EQ(CharToBits('P'), "001111");
    EXPECT_EQ(CharToBits('a'), "011010");
    EXPECT_EQ(CharToBits('/'), "111111");
    EXPECT_EQ(CharToBits('='), "");
    EXPECT_EQ(BitsToByte("01000001"), 65);
    EXPECT_EQ(BitsToByte("11111111"), 255);
    EXPECT_EQ(BitsToByte("1x1x1x1x"), 170);
}


}  // namespace
