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

std::string Base64Of(const std::vector<uint8_t>& in) {
    std::string out(Base64Length(in.size()) + 1, '#');  // one guard byte past the end
    size_t written = 0;
    Base64Encode(in.data(), in.size(), out.data(), written);
    EXPECT_EQ(out.back(), '#') << "wrote past the announced length";
    return out.substr(0, written);
}

uint32_t LittleEndian32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

TEST(XmlEscape, ReplacesTheFourAttributeCharactersOnly) {
    EXPECT_STREQ(XmlEscape("<&\">'").GetNarrow(), "&lt;&amp;&quot;&gt;'");
    EXPECT_STREQ(XmlEscape("").GetNarrow(), "");
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
        "",     "",         "f",     "Zg==",     "fo",     "Zm8=",     "foo",      "Zm9v",
        "foob", "Zm9vYg==", "fooba", "Zm9vYmE=", "foobar", "Zm9vYmFy", "\xFB\xFF", "+/8="};
    for (size_t i = 0; i < std::size(kPairs); i += 2) {
        SCOPED_TRACE(kPairs[i + 1]);
        const std::vector<uint8_t> in = Bytes(kPairs[i]);
        EXPECT_EQ(Base64Of(in), kPairs[i + 1]);
        std::vector<uint8_t> into;
        std::vector<uint8_t> inPlace = in;
        EXPECT_TRUE(Base64EncodeInto(in, into) && Base64EncodeInPlace(inPlace));
        EXPECT_EQ(into, Bytes(kPairs[i + 1]));
        EXPECT_EQ(inPlace, into);
    }
}

TEST(Base64Encode, EveryOneAndTwoByteInputMatchesTheTwentyFourBitGroupFormula) {
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
        const std::vector<uint8_t> in =
            two ? std::vector<uint8_t>{uint8_t(value >> 8), uint8_t(value)}
                : std::vector<uint8_t>{uint8_t(value)};
        ASSERT_EQ(Base64Of(in), expected) << "input " << value;
    }
}

TEST(CompressLz77, ContainerHoldsAStreamZlibInflatesBack) {
    std::vector<uint8_t> noise(70000);  // stored blocks: deflate's worst case
    std::generate(noise.begin(), noise.end(), std::minstd_rand(7));
    const std::vector<uint8_t> inputs[] = {
        {},
        Bytes("a"),
        std::vector<uint8_t>(100000, 'x'),
        noise,
        Bytes("<dal-query id='1'><encode in='base64;lz77'/></dal-query>")};
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.size());
        std::vector<uint8_t> container;
        ASSERT_TRUE(CompressLz77(in, container));
        ASSERT_GE(container.size(), 12u + 8u);
        EXPECT_EQ(std::string(container.begin(), container.begin() + 4), "ZLIB");
        EXPECT_EQ(LittleEndian32(&container[4]), in.size());
        EXPECT_EQ(LittleEndian32(&container[8]), container.size() - 12);
        // RFC 1950: CMF 0x78 (deflate, 32 KB window), FLG 0x9C (default level, check bits).
        EXPECT_EQ(container[12], 0x78);
        EXPECT_EQ(container[13], 0x9C);
        std::vector<uint8_t> inflated(in.size() + 1);
        uLongf inflatedSize = static_cast<uLongf>(inflated.size());
        ASSERT_EQ(uncompress(inflated.data(), &inflatedSize, &container[12],
                             static_cast<uLong>(container.size() - 12)),
                  Z_OK);
        inflated.resize(inflatedSize);
        EXPECT_EQ(inflated, in);
        // zlib's one-shot compress2 at level 6 uses the settings the container fixes.
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

TEST(CompressLz77, EmptyInputGivesTheEightByteEmptyStream) {
    // Fixed block with only end-of-block (03 00), Adler-32 of nothing is 1.
    const std::vector<uint8_t> expected = {'Z', 'L', 'I',  'B',  0,    0,    0, 0, 8, 0,
                                           0,   0,   0x78, 0x9C, 0x03, 0x00, 0, 0, 0, 1};
    std::vector<uint8_t> container = {1, 2, 3};
    ASSERT_TRUE(CompressLz77({}, container));
    EXPECT_EQ(container, expected);
}

TEST(CompressLz77Into, FailsUnlessTheWholeStreamFits) {
    const std::vector<uint8_t> in = Bytes("hello hello hello hello");
    std::vector<uint8_t> expected;
    ASSERT_TRUE(CompressLz77(in, expected));
    std::vector<uint8_t> block(expected.size() + 5, 0xCC);
    const size_t exact = expected.size();
    for (size_t capacity : {size_t{0}, size_t{11}, size_t{12}, exact - 1}) {
        size_t size = capacity;
        EXPECT_FALSE(CompressLz77Into(in.data(), in.size(), block.data(), size)) << capacity;
        EXPECT_EQ(size, capacity);
    }
    for (size_t capacity : {exact, exact + 5}) {
        size_t size = capacity;
        ASSERT_TRUE(CompressLz77Into(in.data(), in.size(), block.data(), size)) << capacity;
        EXPECT_EQ(size, exact);
        EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + exact), expected);
    }
}

TEST(HexDecoding, ReadsPairsOfEitherCase) {
    EXPECT_EQ(HexPairToByte("ff"), 0xFF);
    EXPECT_EQ(HexPairToByte("9A"), 0x9A);
    EXPECT_EQ(HexPairToByte("7"), 0) << "cut short";
    EXPECT_EQ(HexPairToByte(nullptr), 0);
    EXPECT_EQ(HexPairToByte("G1"), 0x01) << "'G' is (0x47 & 15) + 9 = 16; 16 * 16 + 1 to 8 bits";
    EXPECT_EQ(Hex8ToUInt32("0000001F"), 0x1Fu);
    EXPECT_EQ(Hex8ToUInt32("1F"), 0x1F000000u) << "missing pairs count 0";
    EXPECT_EQ(Hex8ToUInt32("123"), 0x12000000u) << "a pair cut short counts 0";
    EXPECT_EQ(Hex8ToUInt32("ff00FF00"), 0xFF00FF00u);
    EXPECT_EQ(Hex8ToUInt32("DEADBEEF01"), 0xDEADBEEFu);
    EXPECT_EQ(Hex8ToUInt32(""), 0u);
    EXPECT_EQ(Hex8ToUInt32(nullptr), 0u);
}

}  // namespace
