#include <gtest/gtest.h>

#include "printer/odometer.h"

namespace {

TEST(SplitSessionPrinterName, TakesTheLastTwoSlashes) {
    struct Row {
        const char* name;
        bool ok;
        const char* clientPrinter;
        const char* client;
        const char* note;
    } rows[] = {
        {"Label/HOST-PC/Session 2", true, "Label", "HOST-PC", "the Windows 2000 form"},
        {"a/b/c/d", true, "a/b", "c", "only the last two slashes count"},
        {"Label/HOST/", true, "Label", "HOST", "empty session part"},
        {"Label//Session 2", true, "Label", "", "empty client between adjacent slashes"},
        {"Label/HOST-PC", false, "", "", "one slash"},
        {"/HOST-PC/Session 2", false, "", "", "earlier slash at index 0"},
        {"NoSlash", false, "", "", "no slash"},
        {"", false, "", "", "empty name"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString clientPrinter;
        OString client;
        EXPECT_EQ(SplitSessionPrinterName(OString(row.name), clientPrinter, client), row.ok);
        EXPECT_STREQ(clientPrinter.GetNarrow(), row.clientPrinter);
        EXPECT_STREQ(client.GetNarrow(), row.client);
    }
}

TEST(OdometerData, CopiesAreIndependentAndCleanedIsZeroOrOne) {
    OdometerData a;
    a.SetPages(7);
    a.SetDistance(12.5);
    a.SetLastCleaningPageCount(3);
    a.SetLastCleaningDistance(1.25);
    a.SetHasBeenCleaned(5);
    EXPECT_EQ(a.GetHasBeenCleaned(), 1u) << "any non-zero value stands for cleaned";

    OdometerData b(a);
    b.Reset();
    EXPECT_EQ(a.GetPages(), 7u);
    EXPECT_EQ(a.GetDistance(), 12.5);
    EXPECT_EQ(b.GetPages(), 0u);
    EXPECT_EQ(b.GetDistance(), 0.0);
    EXPECT_EQ(b.GetLastCleaningPageCount(), 0u);
    EXPECT_EQ(b.GetLastCleaningDistance(), 0.0);
    EXPECT_EQ(b.GetHasBeenCleaned(), 0u);

    b = a;
    EXPECT_EQ(b.GetLastCleaningPageCount(), 3u);
    EXPECT_EQ(b.GetLastCleaningDistance(), 1.25);
    b = b;  // self-assignment keeps the values (and does not deadlock)
    EXPECT_EQ(b.GetPages(), 7u);
}

}  // namespace
