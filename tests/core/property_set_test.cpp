#include "core/property_set.h"

#include <gtest/gtest.h>

namespace {

struct IntRow {
    const char* text;  // null: the name is absent
    int32_t fallback;
    int32_t expectedInt;
    bool expectedBool;
    const char* note;
};

// GetInt falls back only when the name is absent or its text empty; any other
// text goes through ToInt, so text without digits reads as 0, not the default.
const IntRow kIntRows[] = {
    {nullptr, 17, 17, false, "absent"},
    {"", 17, 17, false, "empty text"},
    {"0", 17, 0, false, "zero"},
    {"42", 17, 42, true, "plain number"},
    {"  -7x", 17, -7, true, "white space, sign, trailing junk"},
    {"abc", 17, 0, false, "no digits reads 0"},
    {" ", 17, 0, false, "blank is not empty"},
};

TEST(OPropertySet, GetIntAndGetBoolReadTheTextOrTheDefault) {
    for (const auto& row : kIntRows) {
        SCOPED_TRACE(row.note);
        OPropertySet set;
        set.Set("other", "5");
        if (row.text != nullptr) {
            set.Set("value", row.text);
        }
        EXPECT_EQ(set.GetInt("value", row.fallback), row.expectedInt);
        EXPECT_EQ(set.GetBool("value"), row.expectedBool);
    }
}

TEST(OPropertySet, SetIntWritesDecimalTextAndKeysAreCaseSensitive) {
    struct Row {
        int32_t n;
        const char* text;
    } rows[] = {{0, "0"}, {305419896, "305419896"}, {INT32_MIN, "-2147483648"}};
    OPropertySet set;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        set.SetInt("n", row.n);
        EXPECT_EQ(*set.Lookup("n"), row.text);
        EXPECT_EQ(set.GetInt("n", 1), row.n);
    }
    set.SetInt("N", 2);
    EXPECT_EQ(set.GetCount(), 2);
    EXPECT_EQ(set.GetInt("n", -1), INT32_MIN);
    OString fallback("fallback");
    EXPECT_EQ(set.Lookup("mode", &fallback), &fallback);
}

// A value object holds one reference to the text it was given; replacing the
// text or deleting the object is the only way that reference goes away.
TEST(OPropertySet, ValuesShareTheTextAndReleaseItWhenReplacedOrDeleted) {
    OString text("first");
    OString b("b");
    {
        OPropertySet set;
        set.Set("k", text);
        OString* value = set.Lookup("k");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->GetBody(), text.GetBody()) << "the text is shared, not copied";
        set.Set("k", "second");
        EXPECT_EQ(set.Lookup("k"), value) << "an existing value takes the new text";
        EXPECT_EQ(*value, "second");
        EXPECT_EQ(text.GetBody()->refs.load(), 1);
        set.Set("b", b);
        set.RemoveAll();
        EXPECT_EQ(set.GetCount(), 0);
        EXPECT_EQ(b.GetBody()->refs.load(), 1);
        set.Set("b", b);
    }
    EXPECT_EQ(b.GetBody()->refs.load(), 1);
}

}  // namespace
