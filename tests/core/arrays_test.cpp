#include "core/arrays.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Automatic step: count / 8, at least 4, at most 1024; the new capacity is
// the larger of the wanted size and capacity + step. Each start array was
// made by one SetSize from empty, so its capacity equals its count.
struct GrowthRow {
    int32_t start;
    int32_t size;
    int32_t growBy;
    int32_t capacity;
    const char* note;
};

const GrowthRow kGrowthRows[] = {
    {10, 11, 0, 14, "10/8 = 1, raised to the minimum step 4"},
    {32, 33, 0, 36, "32/8 = 4, exactly the minimum"},
    {80, 81, 0, 90, "80/8 = 10"},
    {8000, 8001, 0, 9000, "8000/8 = 1000, under the maximum"},
    {20000, 20001, 0, 21024, "20000/8 = 2500, capped at 1024"},
    {10, 50, 0, 50, "wanted size beyond capacity + step wins"},
    {10, 11, 100, 110, "fixed grow-by of 100"},
    {10, 11, 1, 11, "fixed grow-by of 1"},
    {0, 7, 0, 7, "first allocation is exact"},
};

// Both arrays share the growth rule.
template <typename Array>
void CheckGrowth() {
    for (const auto& row : kGrowthRows) {
        SCOPED_TRACE(row.note);
        Array array;
        array.SetGrowBy(row.growBy);
        array.SetSize(row.start);
        ASSERT_EQ(array.GetCapacity(), row.start);
        array.SetSize(row.size);
        EXPECT_EQ(array.GetCount(), row.size);
        EXPECT_EQ(array.GetCapacity(), row.capacity);
    }
}

TEST(OTypedArray, GrowthStepsFollowTheCountAndGrowBy) {
    CheckGrowth<OTypedArray<int>>();
}

TEST(OStringArray, GrowthStepsFollowTheCountAndGrowBy) {
    CheckGrowth<OStringArray>();
}

TEST(OTypedArray, RegrowingWithinCapacityZeroFillsTheReturningElements) {
    OTypedArray<int> array;
    for (int i = 0; i < 5; ++i) {
        array.Add(100 + i);
    }
    ASSERT_EQ(array.GetCount(), 5);
    array.SetSize(2);
    EXPECT_EQ(array.GetCapacity(), 5);  // shrinking frees nothing
    array.SetSize(5);
    EXPECT_EQ(array[0], 100);
    EXPECT_EQ(array[1], 101);
    for (int i = 2; i < 5; ++i) {
        EXPECT_EQ(array[i], 0) << "element " << i;
    }
}

TEST(OTypedArray, SetSizeZeroFreesButKeepsGrowBy) {
    OTypedArray<int> array;
    array.SetGrowBy(7);
    array.SetSize(3);
    array.SetSize(0);
    EXPECT_EQ(array.GetCount(), 0);
    EXPECT_EQ(array.GetCapacity(), 0);
    EXPECT_EQ(array.GetData(), nullptr);
    EXPECT_EQ(array.GetGrowBy(), 7);
}

TEST(OTypedArray, InsertAtMovesTheTailUpOrGrowsWithZeros) {
    OTypedArray<wchar_t> array;
    for (wchar_t c : {L'a', L'b', L'd'}) {
        array.Add(c);
    }
    array.InsertAt(2, L'c');
    array.InsertAt(0, L'_');
    array.InsertAt(7, L'z');
    ASSERT_EQ(array.GetCount(), 8);
    EXPECT_EQ(std::wstring(array.GetData(), 8), std::wstring(L"_abcd\0\0z", 8));
}

TEST(OTypedArray, CopyFromTakesTheRange) {
    OTypedArray<unsigned char> source;
    for (unsigned char c = 1; c <= 6; ++c) {
        source.Add(c);
    }
    OTypedArray<unsigned char> copy;
    copy.CopyFrom(source, 2, 3);
    ASSERT_EQ(copy.GetCount(), 3);
    EXPECT_EQ(copy[0], 3);
    EXPECT_EQ(copy[2], 5);
}

int32_t Refs(const OString& s) {
    return s.GetBody() == nullptr ? 0 : s.GetBody()->refs.load();
}

TEST(OStringArray, ShrinkReleasesAndRegrowGivesEmptyStrings) {
    OString held("held");
    OStringArray array;
    for (int i = 0; i < 5; ++i) {
        array.Add(held);
    }
    EXPECT_EQ(Refs(held), 6);
    array.SetSize(2);
    EXPECT_EQ(Refs(held), 3) << "the three removed elements must drop their references";
    array.SetSize(5);
    EXPECT_EQ(Refs(held), 3);
    EXPECT_EQ(array[0], "held");
    for (int i = 2; i < 5; ++i) {
        EXPECT_TRUE(array[i].IsEmpty()) << "element " << i;
    }
}

TEST(OStringArray, OverwriteRemoveAllAndDestructionRelease) {
    OString first("first");
    OString second("second");
    {
        OStringArray array;
        array.Add(first);
        array.SetAtGrow(0, second);
        EXPECT_EQ(Refs(first), 1) << "the overwritten element must be released";
        EXPECT_EQ(Refs(second), 2);
        array.SetAtGrow(3, first);
        EXPECT_EQ(array.GetCount(), 4);
        EXPECT_TRUE(array[2].IsEmpty());
        array.RemoveAll();
        EXPECT_EQ(Refs(first), 1);
        EXPECT_EQ(Refs(second), 1);
        EXPECT_EQ(array.GetCapacity(), 0);
        array.Add(first);
        array.Add(second);
    }
    EXPECT_EQ(Refs(first), 1);
    EXPECT_EQ(Refs(second), 1);
}

TEST(OStringArray, InsertAtSevenOfThreeLeavesEmptyStringsBetween) {
    OStringArray array;
    array.Add("a");
    array.Add("b");
    array.Add("c");
    array.InsertAt(7, "h");
    ASSERT_EQ(array.GetCount(), 8);
    EXPECT_EQ(array[2], "c");
    for (int i = 3; i < 7; ++i) {
        EXPECT_TRUE(array[i].IsEmpty()) << "element " << i;
    }
    EXPECT_EQ(array[7], "h");
    array.InsertAt(1, "x");
    ASSERT_EQ(array.GetCount(), 9);
    EXPECT_EQ(array[1], "x");
    EXPECT_EQ(array[2], "b");
    EXPECT_EQ(array[8], "h");
}

TEST(OTypedArray, AddingOrInsertingAnElementOfItselfSurvivesGrowth) {
    // The value lives in the storage that growth reallocates; other blocks are
    // kept alive between the steps so that the storage has to move.
    OTypedArray<uint64_t> array;
    std::vector<std::unique_ptr<uint8_t[]>> neighbours;
    array.Add(0x1122334455667788ull);
    for (int i = 0; i < 40; ++i) {
        neighbours.push_back(std::make_unique<uint8_t[]>(48));
        if (i % 2 == 0) {
            array.Add(array[0]);
        } else {
            array.InsertAt(1, array[0]);
        }
    }
    ASSERT_EQ(array.GetCount(), 41);
    for (int32_t i = 0; i < array.GetCount(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(array[i], 0x1122334455667788ull);
    }
}

TEST(OStringArray, CopyFromARangeOfItself) {
    // Shrinking to the range releases the elements past it, some of which the
    // range itself still has to deliver.
    struct Row {
        int32_t first;
        int32_t count;
        const char* expected;  // elements joined by ','
        const char* note;
    };
    const Row rows[] = {
        {0, -1, "a,b,c,d", "whole array"}, {1, -1, "b,c,d", "tail from 1"},
        {2, 2, "c,d", "last two"},         {1, 2, "b,c", "middle"},
        {3, 5, "d", "count clamped"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OStringArray array;
        for (const char* text : {"a", "b", "c", "d"}) {
            array.Add(OString(text));
        }
        array.CopyFrom(array, row.first, row.count);
        std::string joined;
        for (int32_t i = 0; i < array.GetCount(); ++i) {
            joined += (i == 0 ? "" : ",");
            joined += array[i].GetNarrow();
        }
        EXPECT_EQ(joined, row.expected);
    }
}

TEST(OStringArray, AddingAnElementOfItselfSurvivesGrowth) {
    // The value lives in the storage that growth moves.
    OStringArray array;
    array.Add("only");
    for (int i = 0; i < 40; ++i) {
        array.Add(array[0]);
    }
    EXPECT_EQ(array.GetCount(), 41);
    EXPECT_EQ(array[40], "only");
}

}  // namespace
