#include "printer/terminal_session.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <string>

#include "support/wine_printer.h"

using QvTest::WinePrinter;

namespace {

// The session lookup's system version, as a row chooses it.
struct FakeVersion {
    static inline DWORD platform = VER_PLATFORM_WIN32_NT;
    static inline DWORD major = 5;
    static inline DWORD minor = 0;
    static BOOL WINAPI GetVersionEx(LPOSVERSIONINFOW info) {
        info->dwPlatformId = platform;
        info->dwMajorVersion = major;
        info->dwMinorVersion = minor;
        info->dwBuildNumber = 2195;
        return TRUE;
    }
};

// A printer data text as stored, and its type; "<absent>" when there is none.
std::wstring StoredText(HANDLE printer, const wchar_t* name, DWORD& type) {
    wchar_t text[260] = {};
    DWORD size = 0;
    if (::GetPrinterDataW(printer, const_cast<wchar_t*>(name), &type, reinterpret_cast<BYTE*>(text),
                          sizeof text, &size) != ERROR_SUCCESS) {
        return L"<absent>";
    }
    return text;
}

TEST(TerminalSessionWine, SessionValuesAndTheWindows2000Names) {
    WinePrinter::Options options;
    // "Label", a slash, "HOST-PC", a slash, a session part unique to this run.
    options.exactName = L"Label/HOST-PC/Session " + WinePrinter::UniqueName(L"2");
    WinePrinter printer(L"w2k", options);
    QV_SKIP_WITHOUT_PRINTER(printer);
    OPrinterHandle handle = printer.Open();
    ASSERT_TRUE(handle);
    TerminalSessionApi api;
    api.getVersionEx = &FakeVersion::GetVersionEx;
    ScopedTerminalSessionApi fake(api);
    const DWORD nt = VER_PLATFORM_WIN32_NT;
    struct Row {
        bool withId;  // TSSessionID 7 stored
        DWORD platform, major, minor;
        const wchar_t *client, *clientPrinter;  // stored before; null: absent
        bool session;
        const wchar_t *wantClient, *wantClientPrinter;
        bool storesDerived;
        const char* note;
    } rows[] = {
        {false, nt, 6, 1, L"OTHER-PC", L"Other", false, L"", L"", false,
         "without a session id never a session printer"},
        {true, nt, 6, 1, L"OTHER-PC", L"Other", true, L"OTHER-PC", L"Other", false,
         "the values as stored"},
        {true, VER_PLATFORM_WIN32_WINDOWS, 4, 10, L"OTHER-PC", L"Other", false, L"", L"", false,
         "a system that is not NT has no sessions"},
        {true, nt, 5, 1, nullptr, nullptr, true, L"", L"", false, "5.1: names stay empty"},
        {true, nt, 5, 0, nullptr, nullptr, true, L"HOST-PC", L"Label", true,
         "5.0: derived from the printer name and stored"},
        {true, nt, 5, 0, L"OTHER-PC", L"Other", true, L"OTHER-PC", L"Other", false,
         "5.0 with both names: as stored"},
        {true, nt, 5, 0, L"OTHER-PC", nullptr, true, L"HOST-PC", L"Label", true,
         "5.0 with one name: both derived again"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        ASSERT_TRUE(row.withId ? printer.SetDataDword(L"TSSessionID", 7)
                               : printer.DeleteData(L"TSSessionID"));
        ASSERT_TRUE(row.client != nullptr ? printer.SetDataString(L"ClientName", row.client)
                                          : printer.DeleteData(L"ClientName"));
        ASSERT_TRUE(row.clientPrinter != nullptr
                        ? printer.SetDataString(L"PrinterName", row.clientPrinter)
                        : printer.DeleteData(L"PrinterName"));
        FakeVersion::platform = row.platform;
        FakeVersion::major = row.major;
        FakeVersion::minor = row.minor;
        TerminalSession session = LookupTerminalSession(handle.Get());
        EXPECT_EQ(session.IsSessionPrinter(), row.session);
        EXPECT_EQ(session.sessionId, row.session ? 7u : TerminalSession::kNoSession);
        EXPECT_EQ(std::wstring(session.clientName.GetWide()), row.wantClient);
        EXPECT_EQ(std::wstring(session.clientPrinterName.GetWide()), row.wantClientPrinter);
        DWORD type = 0;
        const wchar_t* client = row.storesDerived ? row.wantClient : row.client;
        EXPECT_EQ(StoredText(handle.Get(), L"ClientName", type), client ? client : L"<absent>");
        EXPECT_TRUE(client == nullptr || type == REG_SZ);
        const wchar_t* named = row.storesDerived ? row.wantClientPrinter : row.clientPrinter;
        EXPECT_EQ(StoredText(handle.Get(), L"PrinterName", type), named ? named : L"<absent>");
        EXPECT_TRUE(named == nullptr || type == REG_SZ);
    }
}

}  // namespace
