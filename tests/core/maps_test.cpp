#include "core/maps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

// CRC-32 of the key bytes followed by one NUL, computed offline with Python's
// zlib.crc32(key + b"\0"). The four forged keys were solved for their CRC over
// GF(2) (four free bytes after a prefix) to hit the extremes of the range.
struct HashRow {
    const char* key;
    uint32_t hash;
};

const HashRow kHashRows[] = {
    {"", 0xD202EF8Du},          {"a", 0x3D3F4819u},          {"Name", 0xFAFE46C2u},
    {"name", 0x3B3F69C6u},      {"NAME", 0xF7058BBEu},       {"key10N-c`", 0xFFFFFFFFu},
    {"key43}qfp", 0x00000000u}, {"key184tF3g", 0x80000000u}, {"key53Ow'v", 0x7FFFFFFFu},
};

// Two different keys with one CRC-32 (of key + NUL: 0xC51B620E), found by a
// birthday search over random 8-letter keys with zlib.crc32.
const char* const kCollisionA = "PoXFQMiP";
const char* const kCollisionB = "NnXEpVdx";

TEST(OStringMap, HashIsCrc32OfTheNarrowKeyWithItsNul) {
    for (const auto& row : kHashRows) {
        SCOPED_TRACE(row.key);
        EXPECT_EQ(OStringHash(OString(row.key)), row.hash);
    }
    EXPECT_EQ(OStringHash(OString(kCollisionA)), 0xC51B620Eu);
    EXPECT_EQ(OStringHash(OString(kCollisionB)), 0xC51B620Eu);
    // The wide form hashes through its narrow text.
    EXPECT_EQ(OStringHash(OString(L"Name")), 0xFAFE46C2u);
}

::testing::AssertionResult DescendingAndComplete(const OStringMap<int>& map,
                                                 const std::vector<std::string>& keys) {
    const unsigned long* hashes = map.GetHashes();
    for (int32_t i = 1; i < map.GetCount(); ++i) {
        if (hashes[i - 1] < hashes[i]) {
            return ::testing::AssertionFailure() << "hash " << i - 1 << " below hash " << i;
        }
    }
    for (size_t k = 0; k < keys.size(); ++k) {
        int32_t i = map.Find(OString(keys[k].c_str()));
        if (i < 0 || map.GetValueAt(i) != static_cast<int>(k) + 1) {
            return ::testing::AssertionFailure() << "key " << keys[k] << " lost";
        }
    }
    if (map.GetCount() != static_cast<int32_t>(keys.size())) {
        return ::testing::AssertionFailure() << "count " << map.GetCount();
    }
    return ::testing::AssertionSuccess();
}

// Random keys, then small maps of the extremes in many orders: the first
// entries decide where the rounded start of the search lands.
TEST(OStringMap, HashOrderStaysDescendingForAnyInsertionOrder) {
    std::vector<std::vector<std::string>> cases(1);
    std::mt19937 random(1);
    while (cases[0].size() < 300) {
        std::string key(1 + random() % 12, ' ');
        for (char& c : key) {
            c = static_cast<char>('!' + random() % 94);
        }
        if (std::find(cases[0].begin(), cases[0].end(), key) == cases[0].end()) {
            cases[0].push_back(key);
        }
    }
    for (int seed = 10; seed < 30; ++seed) {
        std::vector<std::string> keys;
        for (const auto& row : kHashRows) {
            keys.push_back(row.key);
        }
        std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
        keys.resize(2 + seed % 7);
        cases.push_back(keys);
    }
    for (const auto& keys : cases) {
        SCOPED_TRACE(::testing::Message() << keys.size() << " keys, first " << keys.front());
        OStringMap<int> map;
        for (size_t k = 0; k < keys.size(); ++k) {
            map.SetAt(OString(keys[k].c_str()), static_cast<int>(k) + 1);
            std::vector<std::string> inserted(keys.begin(), keys.begin() + k + 1);
            ASSERT_TRUE(DescendingAndComplete(map, inserted)) << "after inserting " << keys[k];
        }
    }
}

TEST(OStringMap, TwoKeysWithOneCrcKeepSeparateEntries) {
    OStringMap<int> map;
    map.SetAt("before", 7);
    map.SetAt(kCollisionA, 1);
    EXPECT_EQ(map.Find(kCollisionB), -1) << "a shared hash alone must not match";
    map.SetAt(kCollisionB, 2);
    ASSERT_EQ(map.GetCount(), 3);
    int32_t a = map.Find(kCollisionA);
    int32_t b = map.Find(kCollisionB);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(a - b == 1 || b - a == 1, true) << "equal hashes stand together";
    map.SetAt(kCollisionA, 10);
    EXPECT_EQ(map.Lookup(kCollisionA), 10);
    EXPECT_EQ(map.Lookup(kCollisionB), 2) << "updating one must leave the other";
    EXPECT_EQ(map.GetCount(), 3);
}

TEST(OStringMap, KeysAreCaseSensitiveAndLookupFallsBack) {
    OString key("Name");
    OString fallback("fallback");
    OStringMap<OString*> map;
    map.SetAt(key, &key);
    map.SetAt("name", nullptr);
    EXPECT_EQ(map.GetCount(), 2);
    EXPECT_EQ(map.Find("NAME"), -1);
    EXPECT_EQ(map.Lookup("Name"), &key);
    EXPECT_EQ(map.Lookup("NAME"), nullptr);
    EXPECT_EQ(map.Lookup("NAME", &fallback), &fallback);
    EXPECT_EQ(map.Lookup("name", &fallback), &fallback) << "a null value reads as absent";
    EXPECT_EQ(key.GetBody()->refs.load(), 2);
    map.RemoveAll();
    EXPECT_EQ(map.GetCount(), 0);
    EXPECT_EQ(key.GetBody()->refs.load(), 1) << "the keys are released";
}

}  // namespace
