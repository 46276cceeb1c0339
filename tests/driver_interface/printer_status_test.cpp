#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "driver_interface/printer_status.h"

namespace {

// A loader that answers what a system without the print-UI libraries answers:
// every text its English fallback. It records each request. (Texts loaded
// from real libraries are checked on a Wine printer.)
struct RecordingLoader {
    struct Request {
        std::wstring library;
        uint32_t id;
    };
    std::vector<Request> requests;

    static OString Load(void* context, const wchar_t* library, uint32_t id,
                        const OString& fallback) {
        auto* self = static_cast<RecordingLoader*>(context);
        self->requests.push_back({library, id});
        return fallback;
    }

    std::string Format(uint32_t status) {
        return FormatPrinterStatusWord(status, &Load, this).GetNarrow();
    }
};

TEST(PrinterStatusWord, EnglishTextsOfStatusWords) {
    struct Row {
        uint32_t status;
        const char* expected;
        const char* note;
    };
    static const Row rows[] = {
        {0x0, "Ready", "nothing set: the ready text alone"},
        {0x2, "Error", "the error bit alone"},
        {0x2 | 0x8, "Paper Jam", "a specific error hides the generic one"},
        {0x4, "", "pending deletion has no text"},
        {0x2 | 0x20, "Manual Feed Required, Error", "manual feed is not error-class"},
        {0x2 | 0x800000, "Server Status Unknown", "server unknown is error-class"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        RecordingLoader loader;
        EXPECT_EQ(loader.Format(row.status), row.expected);
    }
}

TEST(PrinterStatusWord, EveryRowInOrderWhenAllBitsAreSet) {
    // The Windows print UI's English status words, bits 0 and 3 to 24.
    const char* expected =
        "Paused, Paper Jam, Out of Paper, Manual Feed Required, Paper Problem, Offline, "
        "I/O Active, Busy, Printing, Output Bin Full, Not Available, Waiting, Processing, "
        "Initializing, Warming Up, Toner/Ink Low, No Toner/Ink, Page Punt, "
        "User Intervention Required, Out of Memory, Door Open, Server Status Unknown, "
        "Power Save Mode";
    RecordingLoader loader;
    EXPECT_EQ(loader.Format(0xFFFFFFFF), expected);
}

// Combinations, and the extended flags of each severity.
TEST(PrinterStatusSeverity, ErrorWinsOverWarning) {
    struct Row {
        uint32_t status;
        int severity;
        uint32_t extended;
        const char* note;
    };
    static const Row rows[] = {
        {0x0, 1, 0, "nothing set"},
        {0x20000, 3, 0x40000000, "toner low: a warning"},
        {0x20008, 2, 0x80000000, "toner low and paper jam"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(PrinterStatusSeverity(row.status), row.severity);
        EXPECT_EQ(ExtendedStatusFlagsForSeverity(PrinterStatusSeverity(row.status)), row.extended);
    }
}

TEST(PrinterStatusSeverity, EveryStatusBitAlone) {
    // The PRINTER_STATUS_ values of Windows' documentation (PRINTER_INFO_2)
    // that the interface names as errors (2) or warnings (3); every other bit,
    // documented (paused, offline, busy, ...) or not, is ready (1).
    struct Row {
        uint32_t status;
        int severity;
        const char* name;
    };
    static const Row rows[] = {
        {0x00000002, 2, "ERROR"},
        {0x00000008, 2, "PAPER_JAM"},
        {0x00000010, 2, "PAPER_OUT"},
        {0x00000040, 2, "PAPER_PROBLEM"},
        {0x00000800, 2, "OUTPUT_BIN_FULL"},
        {0x00001000, 2, "NOT_AVAILABLE"},
        {0x00040000, 2, "NO_TONER"},
        {0x00080000, 2, "PAGE_PUNT"},
        {0x00100000, 2, "USER_INTERVENTION"},
        {0x00200000, 2, "OUT_OF_MEMORY"},
        {0x00400000, 2, "DOOR_OPEN"},
        {0x00800000, 2, "SERVER_UNKNOWN"},
        {0x00020000, 3, "TONER_LOW"},
        {0x01000000, 3, "POWER_SAVE"},
    };
    for (int bit = 0; bit < 32; ++bit) {
        const uint32_t status = 1u << bit;
        const auto row = std::find_if(std::begin(rows), std::end(rows),
                                      [&](const Row& r) { return r.status == status; });
        SCOPED_TRACE(row != std::end(rows) ? row->name : "bit " + std::to_string(bit));
        EXPECT_EQ(PrinterStatusSeverity(status), row != std::end(rows) ? row->severity : 1);
    }
}

TEST(PrinterStatusIds, EachIdTestsExactlyItsBit) {
    // Status ids 100..121 stand for bits 0, 3..22 and 24; bit 23 has none.
    auto bitOf = [](int id) { return id == 100 ? 0 : id == 121 ? 24 : id - 98; };
    for (int id = 100; id <= 121; ++id) {
        for (int bit = 0; bit < 32; ++bit) {
            SCOPED_TRACE("id " + std::to_string(id) + " bit " + std::to_string(bit));
            EXPECT_EQ(StatusWordHasStatusId(1u << bit, id), bit == bitOf(id));
        }
    }
}

TEST(PrinterStatusIds, IdsOutsideTheRangeAreNeverSet) {
    for (int id : {99, 122, 201}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(StatusWordHasStatusId(0xFFFFFFFF, id));
    }
}

}  // namespace
