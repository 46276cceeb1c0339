// The event log against the real registry under Wine: masks, routing to the
// outputs, the back end's lock, the file mutex and the source registration.
// Wine discards reported events and hides debugger output, so both are
// captured through the output seam, which also moves the clock; masks live
// under a scratch key; the file log and the source registration are real.
#include "diagnostics/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/event_log_backend.h"
#include "diagnostics/event_log_format.h"
#include "support/scratch_registry.h"

namespace {

OString O(const std::wstring& s) {
    return OString(s.c_str());
}

struct Event {
    WORD type;
    DWORD id;
    bool plain;  // category 0, no user, one string
    std::wstring text;
    std::vector<uint8_t> raw;
};

// What the seam saw. One recorder at a time (the fixture's).
struct Recorder {
    std::mutex lock;
    uint64_t tick = 1000000;
    SYSTEMTIME localTime{2023, 11, 4, 2, 14, 5, 6, 0};
    int registrations = 0;
    std::vector<std::wstring> debug;
    std::vector<Event> events;
    std::atomic<int> reporting{0};
    std::atomic<int> mostAtOnce{0};
    bool pauseReports = false;
};
Recorder* g_recorder = nullptr;

ULONGLONG WINAPI FakeTick() {
    return g_recorder->tick;
}
BOOL WINAPI FakeCounter(LARGE_INTEGER* counter) {
    counter->QuadPart = 0x0102030405060708ll;
    return TRUE;
}
void WINAPI FakeLocalTime(SYSTEMTIME* time) {
    *time = g_recorder->localTime;
}
void WINAPI FakeDebug(LPCWSTR text) {
    std::lock_guard<std::mutex> lock(g_recorder->lock);
    g_recorder->debug.push_back(text);
}
HANDLE WINAPI FakeRegister(LPCWSTR server, LPCWSTR source) {
    ++g_recorder->registrations;
    return OEventLogSystem{}.registerEventSource(server, source);
}
BOOL WINAPI FakeReport(HANDLE, WORD type, WORD category, DWORD id, PSID user, WORD count,
                       DWORD size, LPCWSTR* strings, LPVOID raw) {
    // Writes of one back end are serialised: two reports at once would show
    // here, the more surely for the pause.
    int inside = ++g_recorder->reporting;
    g_recorder->mostAtOnce = std::max(g_recorder->mostAtOnce.load(), inside);
    if (g_recorder->pauseReports) {
        ::Sleep(1);
    }
    --g_recorder->reporting;
    auto* bytes = static_cast<uint8_t*>(raw);
    std::lock_guard<std::mutex> lock(g_recorder->lock);
    g_recorder->events.push_back({type, id, category == 0 && user == nullptr && count == 1,
                                  strings[0], std::vector<uint8_t>(bytes, bytes + size)});
    return TRUE;
}

const std::wstring kSources = L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\";

std::string ReadFileBytes(const std::wstring& path) {
    std::string text;
    if (FILE* file = _wfopen(path.c_str(), L"rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) {
            text += static_cast<char>(c);
        }
        std::fclose(file);
    }
    return text;
}

class OEventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_scratch.IsValid());
        g_recorder = &m_recorder;
        m_maskRoot = m_scratch.Path() + L"/DebugLogMasks\\";
        OEventLogSystem system;
        system.getTickCount64 = FakeTick;
        system.queryPerformanceCounter = FakeCounter;
        system.getLocalTime = FakeLocalTime;
        system.outputDebugString = FakeDebug;
        system.registerEventSource = FakeRegister;
        system.reportEvent = FakeReport;
        system.maskRoot = m_maskRoot.c_str();
        m_override = std::make_unique<OEventLogSystemOverride>(system);
    }

    void TearDown() override {
        m_override.reset();
        for (const std::wstring& source : m_sources) {
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kSources + L"Application\\" + source).c_str());
        }
        g_recorder = nullptr;
    }

    // A source name of this test alone; its registration is removed afterwards.
    std::wstring NewSource() {
        m_sources.push_back(UniqueTestName(L"Quorvel Test "));
        return m_sources.back();
    }
    bool SetMask(const std::wstring& source, DWORD mask) {
        return m_scratch.SetDword(L"DebugLogMasks", source, mask);
    }

    ScratchRegistryKey m_scratch;
    Recorder m_recorder;
    std::wstring m_maskRoot;
    std::vector<std::wstring> m_sources;
    std::unique_ptr<OEventLogSystemOverride> m_override;
};

TEST_F(OEventLogTest, SourceMaskComesFromTheRegistryAndIsWrittenBack) {
    struct Row {
        DWORD bytes;  // 0: no value; 2: REG_BINARY; 4: REG_DWORD
        DWORD stored;
        uint32_t enabled;
        uint32_t disabled;
        DWORD afterwards;
        const char* note;
    };
    // Levels: 0x80000000 errors, 0x40000000 warnings, 0x20000000 info,
    // 0x10000000 detail; letters A to P are 0x1 to 0x8000.
    const Row rows[] = {
        {0, 0, 0xE0000000, 0x10000001, 0xE0000000, "absent: the default"},
        {2, 0xFFFF, 0xE0000000, 0x00000001, 0xE0000000, "2 bytes: the default, rewritten"},
        {4, 0x10000080, 0x10000080, 0xA0000040, 0x10000080,
         "detail and letter H, not letter G nor errors"},
        {4, 0x00008001, 0x00008001, 0x00000002, 0x00008001, "letters P and A, not B"},
        {4, 0, 0, 0x80000000, 0, "everything off"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring source = NewSource();
        if (row.bytes > 0) {
            DWORD type = row.bytes == 4 ? REG_DWORD : REG_BINARY;
            ASSERT_TRUE(m_scratch.SetRaw(L"DebugLogMasks", source, type, &row.stored, row.bytes));
        }
        OEventLog log(O(source));
        for (uint32_t bit = 1; bit != 0; bit <<= 1) {
            if ((row.enabled | row.disabled) & bit) {
                EXPECT_EQ(log.IsEnabled(bit), (row.enabled & bit) != 0) << std::hex << bit;
            }
        }
        EXPECT_TRUE(m_scratch.HasDword(L"DebugLogMasks", source, row.afterwards));
    }
}

TEST_F(OEventLogTest, EditedMaskTakesEffectAfter5000Ms) {
    // Start just below the 32-bit wrap of the tick count, so the refresh
    // interval is measured across it.
    const uint64_t start = 0xFFFFF000ull;
    m_recorder.tick = start;
    std::wstring source = NewSource();
    OEventLog log(O(source));
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo));
    ASSERT_TRUE(SetMask(source, OEventLog::kErrors));
    struct Step {
        uint64_t after;
        DWORD edit;  // 0: none
        bool info;
        const char* note;
    };
    const Step steps[] = {
        {4999, 0, true, "re-read too early"},
        {5000, 0, true, "the interval is 'more than' 5000 ms"},
        {5001, 0, false, "edit not seen after 5001 ms"},
        {10001, OEventLog::kInfo, false, "the next edit 5000 ms after that re-read"},
        {10002, 0, true, "the next edit 5001 ms after that re-read"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.note);
        if (step.edit != 0) {
            ASSERT_TRUE(SetMask(source, step.edit));
        }
        m_recorder.tick = start + step.after;
        EXPECT_EQ(log.IsEnabled(OEventLog::kInfo), step.info);
    }
    // A deleted value reads as the default again.
    ASSERT_EQ(
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, (m_scratch.Subkey() + L"\\DebugLogMasks").c_str(),
                             source.c_str()),
        ERROR_SUCCESS);
    m_recorder.tick = start + 15003;
    EXPECT_TRUE(log.IsEnabled(OEventLog::kWarnings));
}

TEST_F(OEventLogTest, LevelsReachTheirOutputs) {
    struct Row {
        DWORD sourceMask;
        uint32_t level;
        bool event, debugger;
        WORD type;
        DWORD id;
        const char* note;
    };
    const Row rows[] = {
        {0xE0000000, OEventLog::kErrors, true, true, 1, 0xCFFF0300, "error: event and debugger"},
        {0xE0000000, OEventLog::kWarnings, true, true, 2, 0x8FFF0200, "warning: both"},
        {0xE0000000, OEventLog::kInfo, true, false, 4, 0x4FFF0100, "info: event only"},
        {0xE8000000, OEventLog::kInfo, true, true, 4, 0x4FFF0100, "info with the debugger bit"},
        {0x18000080, OEventLog::kDetailInfoH, true, true, 4, 0x4FFF0100, "lettered, debugger bit"},
        {0xE0000000, OEventLog::kDetailInfo, false, false, 0, 0, "disabled: nothing"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring source = NewSource();
        ASSERT_TRUE(SetMask(source, row.sourceMask));
        OEventLog log(O(source));
        m_recorder.events.clear();
        m_recorder.debug.clear();
        m_recorder.tick = 0x100000000ull + 1234567;  // 4296201863 ms
        EXPECT_EQ(log.Write(OString(L"Component::Operation: text"), row.level), row.event);
        ASSERT_EQ(m_recorder.events.size(), row.event ? 1u : 0u);
        if (row.event) {
            const Event& event = m_recorder.events[0];
            EXPECT_EQ(event.type, row.type);
            EXPECT_EQ(event.id, row.id);
            EXPECT_TRUE(event.plain);
            EXPECT_EQ(event.text, L"Component::Operation: text");
            uint8_t raw[OEventLogFormat::kRawDataBytes];
            OEventLogFormat::BuildRawData(raw, m_recorder.tick, 0x0102030405060708ll, row.level,
                                          GetCurrentThreadId(), GetCurrentProcessId());
            EXPECT_EQ(event.raw, std::vector<uint8_t>(raw, raw + sizeof(raw)));
        }
        ASSERT_EQ(m_recorder.debug.size(), row.debugger ? 1u : 0u);
        if (row.debugger) {
            EXPECT_EQ(m_recorder.debug[0], L"4296201.863: Component::Operation: text\n");
        }
    }
}

TEST_F(OEventLogTest, OnlyTheEventIsCut) {
    OString longest(std::wstring(31767, L'b').c_str());
    ASSERT_TRUE(OEventLog(O(NewSource())).Write(longest, OEventLog::kWarnings));
    ASSERT_EQ(m_recorder.events.size(), 1u);
    EXPECT_EQ(m_recorder.events[0].text, OEventLogFormat::CutMessage(longest).GetWide());
    ASSERT_EQ(m_recorder.debug.size(), 1u);
    EXPECT_EQ(m_recorder.debug[0].size(), 13u + 31767u + 1u);
}

// File lines of one source are written under its machine-wide mutex, so
// writers in other processes and sessions do not overwrite each other's lines.
TEST_F(OEventLogTest, FileWriteWaitsForTheSourcesMutex) {
    std::wstring source = NewSource();
    ASSERT_TRUE(SetMask(source, 0xE4000000));
    std::wstring path = OEventLogFormat::FileLogPath(O(source)).GetWide();
    ::DeleteFileW(path.c_str());
    std::wstring name = L"Global\\Brantheon File Log Mutex for " + source;
    HANDLE held = ::CreateMutexW(nullptr, TRUE, name.c_str());
    ASSERT_NE(held, nullptr);
    OEventLog log(O(source));
    std::atomic<bool> written{false};
    std::thread writer([&] {
        log.Write(OString(L"waited"), OEventLog::kErrors);
        written = true;
    });
    ::Sleep(300);
    EXPECT_FALSE(written) << "the line was written while another writer held the file";
    ::ReleaseMutex(held);
    writer.join();
    ::CloseHandle(held);
    EXPECT_NE(ReadFileBytes(path).find(", waited\r\n"), std::string::npos);
    ::DeleteFileW(path.c_str());
}

TEST_F(OEventLogTest, FileLogAppendsLinesToTheSourcesFile) {
    std::wstring source = NewSource();
    ASSERT_TRUE(SetMask(source, 0xE4000000));
    const std::wstring path = OEventLogFormat::FileLogPath(O(source)).GetWide();
    ::DeleteFileW(path.c_str());
    OEventLog log(O(source));
    ASSERT_TRUE(log.Write(OString(L"Pool::Close: idle"), OEventLog::kInfo));
    ASSERT_TRUE(log.Write(OString(L"second"), OEventLog::kErrors));
    std::string text = ReadFileBytes(path);
    ::DeleteFileW(path.c_str());
    char thread[16];
    std::snprintf(thread, sizeof(thread), "%08X", static_cast<unsigned>(GetCurrentThreadId()));
    std::string head = "11/02/2023 14:05:06, " + std::string(O(source).GetNarrow()) + ", ";
    // Text mode: each line ends in CR LF on disk.
    EXPECT_EQ(text, head + "Info, Thread:0x" + thread + ", Pool::Close: idle\r\n" + head +
                        "Errors, Thread:0x" + thread + ", second\r\n");

    // Without the file bit nothing goes to a file.
    std::wstring quiet = NewSource();
    ASSERT_TRUE(OEventLog(O(quiet)).Write(OString(L"x"), OEventLog::kErrors));
    EXPECT_EQ(::GetFileAttributesW(OEventLogFormat::FileLogPath(O(quiet)).GetWide()),
              INVALID_FILE_ATTRIBUTES);
}

TEST_F(OEventLogTest, UnopenableFileNamesThePathTried) {
    std::wstring source = NewSource();
    ASSERT_TRUE(SetMask(source, 0xC4000000));
    std::wstring path = OEventLogFormat::FileLogPath(O(source)).GetWide();
    ::CreateDirectoryW(L"C:\\Log Files", nullptr);
    // A folder where the file should be: opening it for appending fails.
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
    OEventLog log(O(source));
    EXPECT_TRUE(log.Write(OString(L"lost"), OEventLog::kErrors))
        << "the event itself still goes out";
    ::RemoveDirectoryW(path.c_str());
    ASSERT_EQ(m_recorder.debug.size(), 2u);
    EXPECT_EQ(m_recorder.debug[1],
              L"OEventLogBase::WriteEventToFile Unable to open " + path + L"\n");
}

TEST_F(OEventLogTest, SourceIsRegisteredOnceAtTheFirstWrite) {
    std::wstring source = NewSource();
    ScratchRegistryKey stale(HKEY_LOCAL_MACHINE, kSources + L"System", source);
    ASSERT_TRUE(stale.IsValid());
    OEventLog log(O(source));
    EXPECT_EQ(m_recorder.registrations, 0) << "registered before the first write";
    ASSERT_TRUE(log.Write(OString(L"one"), OEventLog::kErrors));
    ASSERT_TRUE(log.Write(OString(L"two"), OEventLog::kInfo));
    EXPECT_EQ(m_recorder.registrations, 1);
    EXPECT_FALSE(stale.KeyExists(L"")) << "the System registration was left";

    ScratchRegistryKey registration(HKEY_LOCAL_MACHINE, kSources + L"Application", source);
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring messageFile = std::wstring(system) + L"\\Quorvel_EventMessages.dll" + L'\0';
    for (const wchar_t* name : {L"EventMessageFile", L"CategoryMessageFile"}) {
        SCOPED_TRACE(OString(name).GetNarrow());
        std::vector<BYTE> data;
        DWORD type = 0;
        ASSERT_TRUE(registration.GetRaw(L"", name, data, &type));
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2),
                  messageFile);
    }
    EXPECT_TRUE(registration.HasDword(L"", L"TypesSupported", 7));
    EXPECT_TRUE(registration.HasDword(L"", L"CategoryCount", 2));
}

TEST_F(OEventLogTest, ExistingRegistrationIsNotRewritten) {
    std::wstring source = NewSource();
    ScratchRegistryKey registration(HKEY_LOCAL_MACHINE, kSources + L"Application", source);
    ASSERT_TRUE(OEventLog(O(source)).Write(OString(L"one"), OEventLog::kErrors));
    EXPECT_EQ(m_recorder.registrations, 1) << "the event source is still requested";
    EXPECT_FALSE(registration.ValueExists(L"", L"EventMessageFile"));
    EXPECT_FALSE(registration.ValueExists(L"", L"TypesSupported"));
}

TEST_F(OEventLogTest, FrontEndsOfOneSourceShareOneBackEnd) {
    std::wstring source = NewSource();
    int32_t before = OEventLogBase::TableSize();
    OEventLog first(O(source));
    m_recorder.pauseReports = true;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&source] {
            OEventLog mine(O(source));
            for (int i = 0; i < 50; ++i) {
                mine.Write(OString(L"x"), OEventLog::kErrors);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    m_recorder.pauseReports = false;
    EXPECT_EQ(OEventLogBase::TableSize(), before + 1);
    EXPECT_EQ(m_recorder.events.size(), 200u);
    EXPECT_EQ(m_recorder.mostAtOnce, 1) << "writes of one back end overlapped";
    EXPECT_EQ(m_recorder.registrations, 1) << "one event source for the shared back end";

    // A mask edit shows through every front end.
    OEventLog second(O(source));
    ASSERT_TRUE(SetMask(source, OEventLog::kErrors));
    m_recorder.tick += 5001;
    EXPECT_FALSE(second.IsEnabled(OEventLog::kInfo));
    EXPECT_FALSE(first.IsEnabled(OEventLog::kInfo));
}

TEST_F(OEventLogTest, ParentChainAddsTagsAroundTheMessage) {
    auto root = std::make_shared<OEventLog>(O(NewSource()), true);
    root->Tags().AddTag(150, OString(L"conn 0x1F"));
    auto child = std::make_shared<OEventLog>(root);
    child->Tags().AddTag(30, OString(L"Job 12"));
    child->Tags().AddTag(40, OString());
    OEventLog leaf(child);
    int produced = 0;
    leaf.Tags().AddTag(120, [&produced] { return OString(static_cast<int32_t>(++produced)); });
    EXPECT_EQ(produced, 0) << "a producer ran before the line was rendered";

    ASSERT_TRUE(leaf.Write(OString(L"Printer::Status: busy"), OEventLog::kWarnings));
    // The root writes with its own tags only.
    ASSERT_TRUE(root->Write(OString(L"m"), OEventLog::kWarnings));
    ASSERT_EQ(m_recorder.events.size(), 2u);
    // Ids 20 (program), 30, 100 (message), 120, 150; ": " after ids below 100.
    EXPECT_EQ(m_recorder.events[0].text,
              L"diagnostics_wine_tests.exe: Job 12: Printer::Status: busy - 1 - conn 0x1F");
    EXPECT_EQ(m_recorder.events[1].text, L"diagnostics_wine_tests.exe: m - conn 0x1F");
    // A disabled level builds nothing; an empty line is not written at all.
    EXPECT_FALSE(leaf.Write(OString(L"x"), OEventLog::kDetailInfoA));
    EXPECT_EQ(produced, 1);
    EXPECT_FALSE(OEventLog(O(NewSource())).Write(OString(), OEventLog::kErrors));
    EXPECT_EQ(m_recorder.events.size(), 2u);
    EXPECT_EQ(m_recorder.debug.size(), 2u);
}

TEST_F(OEventLogTest, WritefTestsTheLevelThenFormats) {
    OEventLog log(O(NewSource()));
    EXPECT_TRUE(log.Writef(OEventLog::kErrors, "TCPSocket::Connect", "error %d on %s, socket %s",
                           10061, "host:80", OLogHex(0x2A4).GetNarrow()));
    EXPECT_FALSE(log.Writef(OEventLog::kDetailInfo, "A::B", "%d", 1));
    std::string big(5000, 'z');
    EXPECT_TRUE(log.Writef(OEventLog::kErrors, "A::B", "%s", big.c_str()));
    ASSERT_EQ(m_recorder.events.size(), 2u);
    EXPECT_EQ(m_recorder.events[0].text,
              L"TCPSocket::Connect: error 10061 on host:80, socket 0x2A4");
    EXPECT_EQ(m_recorder.events[1].text, L"A::B: " + std::wstring(5000, L'z'))
        << "formatting must not stop at 1024";
}

TEST_F(OEventLogTest, SweepDropsUnusedIdleBackEnds) {
    m_recorder.tick = 50000000;
    std::wstring dropped = NewSource();
    std::wstring used = NewSource();
    OEventLog keeper(O(NewSource()));
    OEventLog idleButUsed(O(used));
    keeper.IsEnabled(OEventLog::kErrors);  // whatever the last sweep was, it is at most now
    { OEventLog temporary(O(dropped)); }
    int32_t before = OEventLogBase::TableSize();
    ASSERT_TRUE(SetMask(dropped, 0x00000001));

    m_recorder.tick += 300001;
    keeper.IsEnabled(OEventLog::kErrors);
    EXPECT_LT(OEventLogBase::TableSize(), before);
    // A back end still referred to stays in the table however idle it is.
    EXPECT_EQ(OEventLog(O(used)).GetBase(), idleButUsed.GetBase());

    // A front end of the dropped source gets a new back end, which reads the
    // mask at once instead of waiting for the refresh.
    OEventLog again(O(dropped));
    EXPECT_TRUE(again.IsEnabled(OEventLog::kDetailInfoA));
    EXPECT_FALSE(again.IsEnabled(OEventLog::kErrors));
}

}  // namespace
