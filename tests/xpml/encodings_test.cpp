#include "xpml/encodings.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(XmlEscape, ReplacesTheFiveAttributeCharactersOnly) {
    EXPECT_STREQ(XmlEscape("<&\">'").GetNarrow(), "&lt;&amp;&quot;&gt;&apos;");
    EXPECT_STREQ(XmlEscape("Q-17 ok?").GetNarrow(), "Q-17 ok?");
    EXPECT_STREQ(XmlEscape("&amp;").GetNarrow(), "&amp;amp;") << "an entity is escaped again";
    OString utf8(L"\u00e9<");
    utf8.SetCodePageUtf8();
    const OString escaped = XmlEscape(utf8);
    EXPECT_EQ(escaped.GetCodePage(), OString::kCodePageUtf8);
    EXPECT_STREQ(escaped.GetWide(), L"\u00e9&lt;");
}

TEST(Base64Encode, MatchesPublishedVectors) {
    // Input, then text: RFC 4648 section 10, then the alphabet's last two letters by hand.
    static const char* const kPairs[] = {
        "",     "",     "f",        "Zg==",  "fo",       "Zm8=",     "foo",
        "Zm9v", "foob", "Zm9vYg==", "fooba", "Zm9vYmE=", "\xFB\xFF", "+/8="};
    for (size_t i = 0; i < std::size(kPairs); i += 2) {
        SCOPED_TRACE(kPairs[i + 1]);
        const std::vector<uint8_t> in = Bytes(kPairs[i]);
        std::string text(Base64Length(in.size()) + 1, '#');  // one guard byte past the end
        size_t written = 0;
        Base64Encode(in.data(), in.size(), text.data(), written);
        EXPECT_EQ(text.back(), '#') << "wrote past the announced length";
        EXPECT_EQ(text.substr(0, written), kPairs[i + 1]);
        std::vector<uint8_t> into;
        std::vector<uint8_t> inPlace = in;
        EXPECT_TRUE(Base64EncodeInto(in, into) && Base64EncodeInPlace(inPlace));
        EXPECT_EQ(into, Bytes(kPairs[i + 1]));
        EXPECT_EQ(inPlace, into);
    }
}

TEST(Base64Encode, EveryOneAndTwoByteInputMatchesTheTwentyFourBitGroup) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (uint32_t value = 0; value < 0x10000 + 0x100; ++value) {
        // Below 0x10000 two bytes (high, low); above, the single byte value - 0x10000.
        const bool two = value < 0x10000;
        const uint32_t group = two ? value << 8 : (value - 0x10000) << 16;
        std::string expected;
        for (int shift = 18; shift >= 0; shift -= 6) {
            expected += alphabet[(group >> shift) & 63];
        }
        expected.replace(two ? 3 : 2, std::string::npos, two ? "=" : "==");
        std::vector<uint8_t> out;
        ASSERT_TRUE(Base64EncodeInto(
            two ? Bytes({char(value >> 8), char(value)}) : Bytes({char(value - 0x10000)}), out));
        ASSERT_EQ(std::string(out.begin(), out.end()), expected) << "input " << value;
    }
}

TEST(CompressLz77, ContainerHoldsTheStreamZlibMakesAtLevelSix) {
    std::vector<uint8_t> noise(70000);  // stored blocks: deflate's worst case
    std::generate(noise.begin(), noise.end(), std::minstd_rand(7));
    for (const auto& in : {std::vector<uint8_t>(), std::vector<uint8_t>(100000, 'x'), noise}) {
        SCOPED_TRACE(in.size());
        std::vector<uint8_t> container;
        ASSERT_TRUE(CompressLz77(in, container));
        ASSERT_GE(container.size(), 12u);
        auto word = [&](size_t at) {
            return container[at] | container[at + 1] << 8 | container[at + 2] << 16 |
                   static_cast<uint32_t>(container[at + 3]) << 24;
        };
        EXPECT_EQ(std::string(container.begin(), container.begin() + 4), "ZLIB");
        EXPECT_EQ(word(4), in.size());
        EXPECT_EQ(word(8), container.size() - 12);
        std::vector<uint8_t> reference(compressBound(static_cast<uLong>(in.size())));
        uLongf referenceSize = static_cast<uLongf>(reference.size());
        ASSERT_EQ(compress2(reference.data(), &referenceSize, in.data(),
                            static_cast<uLong>(in.size()), 6),
                  Z_OK);
        reference.resize(referenceSize);
        EXPECT_EQ(std::vector<uint8_t>(container.begin() + 12, container.end()), reference);
        std::vector<uint8_t> inPlace = in;
        ASSERT_TRUE(CompressLz77InPlace(inPlace));
        EXPECT_EQ(inPlace, container);
    }
}

TEST(CompressLz77Into, FailsUnlessTheWholeStreamFits) {
    const std::vector<uint8_t> in = Bytes("hello hello hello hello");
    std::vector<uint8_t> expected;
    ASSERT_TRUE(CompressLz77(in, expected));
    std::vector<uint8_t> block(expected.size() + 5, 0xCC);
    const size_t exact = expected.size();
    for (size_t capacity : {size_t{11}, exact - 1, exact, exact + 5}) {
        size_t size = capacity;
        const bool fits = capacity >= exact;
        ASSERT_EQ(CompressLz77Into(in.data(), in.size(), block.data(), size), fits) << capacity;
        EXPECT_EQ(size, fits ? exact : capacity);
    }
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + exact), expected);
}

}  // namespace
