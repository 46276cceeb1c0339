#include "core/arrays.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/text.h"

namespace {

using QvTest::Joined;

// Automatic step: count / 8, within 4..1024; the new capacity is the larger of
// the wanted size and capacity + step.
struct GrowthRow {
    int32_t start;
    int32_t size;
    int32_t growBy;
    int32_t capacity;
    const char* note;
} const kGrowthRows[] = {
    {10, 11, 0, 14, "10/8 = 1, raised to the minimum step 4"},
    {32, 33, 0, 36, "32/8 = 4, exactly the minimum"},
    {8000, 8001, 0, 9000, "8000/8 = 1000, under the maximum"},
    {20000, 20001, 0, 21024, "20000/8 = 2500, capped at 1024"},
    {10, 50, 0, 50, "wanted size beyond capacity + step wins"},
    {10, 11, 100, 110, "fixed grow-by of 100"},
    {0, 7, 0, 7, "first allocation is exact"},
};

template <typename Array>
void CheckGrowth() {
    for (const auto& row : kGrowthRows) {
        SCOPED_TRACE(row.note);
        Array array;
        array.SetGrowBy(row.growBy);
        array.SetSize(row.start);
        array.SetSize(row.size);
        EXPECT_EQ(array.GetCount(), row.size);
        EXPECT_EQ(array.GetCapacity(), row.capacity);
    }
}

TEST(OTypedArray, GrowthStepsFollowTheCountAndGrowBy) {
    CheckGrowth<OTypedArray<int>>();
    CheckGrowth<OStringArray>();
}

TEST(OTypedArray, ReturningAndInsertedElementsAreZero) {
    OTypedArray<wchar_t> array;
    for (wchar_t c : {L'a', L'b', L'd', L'e', L'f'}) {
        array.Add(c);
    }
    array.SetSize(3);
    array.SetSize(5);  // within the capacity: the old values must not come back
    array.InsertAt(2, L'c');
    array.InsertAt(0, L'_');
    array.InsertAt(9, L'z');
    EXPECT_EQ(std::wstring(array.GetData(), 10), std::wstring(L"_abcd\0\0\0\0z", 10));
    OTypedArray<wchar_t> copy;
    copy.CopyFrom(array, 2, 3);
    EXPECT_EQ(std::wstring(copy.GetData(), 3), L"bcd");
    array.SetGrowBy(7);
    array.SetSize(0);
    EXPECT_EQ(array.GetData(), nullptr);
    EXPECT_EQ(array.GetGrowBy(), 7);
}

TEST(OStringArray, ElementsLeavingTheArrayReleaseTheirText) {
    OString held("held");
    OString other("other");
    {
        OStringArray array;
        for (int i = 0; i < 5; ++i) {
            array.Add(held);
        }
        array.SetSize(2);
        EXPECT_EQ(held.GetBody()->refs.load(), 3) << "shrinking releases the removed elements";
        array.SetSize(5);
        EXPECT_EQ(Joined(array), "held,held,,,");
        array.SetAtGrow(0, other);
        EXPECT_EQ(held.GetBody()->refs.load(), 2) << "overwriting releases the old element";
        array.InsertAt(7, OString("h"));
        array.InsertAt(1, OString("x"));
        EXPECT_EQ(Joined(array), "other,x,held,,,,,,h");
        array.RemoveAll();
        EXPECT_EQ(held.GetBody()->refs.load(), 1);
        array.Add(held);
        array.Add(other);
    }
    EXPECT_EQ(held.GetBody()->refs.load(), 1) << "destruction releases every element";
    EXPECT_EQ(other.GetBody()->refs.load(), 1);
}

TEST(OTypedArray, AddingAnElementOfItselfSurvivesGrowth) {
    // Blocks kept alive between the steps make the storage move.
    OTypedArray<uint64_t> numbers;
    OStringArray texts;
    std::vector<std::unique_ptr<uint8_t[]>> neighbours;
    numbers.Add(0x1122334455667788ull);
    texts.Add("only");
    for (int i = 0; i < 40; ++i) {
        neighbours.push_back(std::make_unique<uint8_t[]>(48));
        if (i % 2 == 0) {
            numbers.Add(numbers[0]);
        } else {
            numbers.InsertAt(1, numbers[0]);
        }
        texts.Add(texts[0]);
    }
    ASSERT_EQ(numbers.GetCount(), 41);
    for (int32_t i = 0; i < numbers.GetCount(); ++i) {
        EXPECT_EQ(numbers[i], 0x1122334455667788ull) << i;
    }
    EXPECT_EQ(texts[40], "only");
}

TEST(OStringArray, CopyFromARangeOfItself) {
    struct Row {
        int32_t first;
        int32_t count;
        const char* expected;
    } const rows[] = {{1, -1, "b,c,d"}, {2, 2, "c,d"}, {1, 2, "b,c"}, {3, 5, "d"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        OStringArray array;
        for (const char* text : {"a", "b", "c", "d"}) {
            array.Add(OString(text));
        }
        array.CopyFrom(array, row.first, row.count);
        EXPECT_EQ(Joined(array), row.expected);
    }
}

}  // namespace
