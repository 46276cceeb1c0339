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
            return ::testing::AssertionFailure()
                   << "hash " << i - 1 << " (" << hashes[i - 1] << ") below hash " << i << " ("
                   << hashes[i] << ")";
        }
    }
    if (map.GetCount() != static_cast<int32_t>(keys.size())) {
        return ::testing::AssertionFailure()
               << "count " << map.GetCount() << ", want " << keys.size();
    }
    for (size_t k = 0; k < keys.size(); ++k) {
        int32_t i = map.Find(OString(keys[k].c_str()));
        if (i < 0 || map.GetValueAt(i) != static_cast<int>(k) + 1) {
            return ::testing::AssertionFailure()
                   << "key " << keys[k] << " lost (index " << i << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> RandomKeys(unsigned seed, int count) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> length(1, 12);
    std::uniform_int_distribution<int> letter('!', '~');
    std::vector<std::string> keys;
    while (static_cast<int>(keys.size()) < count) {
        std::string key;
        for (int n = length(random); n > 0; --n) {
            key += static_cast<char>(letter(random));
        }
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            keys.push_back(key);
        }
    }
    return keys;
}

TEST(OStringMap, HashOrderStaysDescendingForAnyInsertionOrder) {
    std::vector<std::string> extremes;
    for (const auto& row : kHashRows) {
        extremes.push_back(row.key);
    }
    struct Case {
        const char* note;
        std::vector<std::string> keys;
    };
    std::vector<Case> cases = {
        {"random 500", RandomKeys(1, 500)},
        {"random 3", RandomKeys(2, 3)},
        {"extremes in table order", extremes},
    };
    {
        // Ascending and descending hash order stress both ends of the search.
        auto sorted = RandomKeys(3, 200);
        std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
            return OStringHash(OString(a.c_str())) < OStringHash(OString(b.c_str()));
        });
        cases.push_back({"ascending hashes", sorted});
        std::reverse(sorted.begin(), sorted.end());
        cases.push_back({"descending hashes", sorted});
    }
    for (int seed = 10; seed < 30; ++seed) {
        // Small maps: the first entries decide where the rounded start lands.
        auto keys = extremes;
        std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
        keys.resize(2 + seed % 7);
        cases.push_back({"shuffled extremes", keys});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.note << ", " << c.keys.size() << " keys, first " << c.keys.front());
        OStringMap<int> map;
        std::vector<std::string> inserted;
        for (size_t k = 0; k < c.keys.size(); ++k) {
            map.SetAt(OString(c.keys[k].c_str()), static_cast<int>(k) + 1);
            inserted.push_back(c.keys[k]);
            ASSERT_TRUE(DescendingAndComplete(map, inserted)) << "after inserting " << c.keys[k];
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
