// The event log against the real registry under Wine. Wine discards reported
// events and hides debugger output, so both are captured through the output
// seam; masks live under a scratch key; the file log and the source
// registration are real.
#include "diagnostics/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_registry.h"

namespace {

std::wstring W(const OString& s) { return s.GetWide(); }

struct Event {
    WORD type = 0;
    WORD category = 0;
    DWORD id = 0;
    PSID user = nullptr;
    std::vector<std::wstring> strings;
    std::vector<uint8_t> raw;
    uint32_t Mask() const {
        uint32_t mask = 0;
        if (raw.size() >= 28) {
            std::memcpy(&mask, raw.data() + 24, 4);
        }
        return mask;
    }
};

struct FileLine {
    std::wstring path;
    std::string line;
};

// What the seam saw. One recorder at a time (the fixture's).
struct Recorder {
    CRITICAL_SECTION lock;
    uint64_t tick = 1000000;
    SYSTEMTIME localTime{};
    bool realFiles = false;
    int registrations = 0;
    std::vector<std::wstring> debug;
    std::vector<Event> events;
    std::vector<FileLine> lines;
};
Recorder* g_recorder = nullptr;

ULONGLONG WINAPI FakeTick() { return g_recorder->tick; }

BOOL WINAPI FakeCounter(LARGE_INTEGER* counter) {
    counter->QuadPart = 0x0102030405060708ll;
    return TRUE;
}

void WINAPI FakeLocalTime(SYSTEMTIME* time) { *time = g_recorder->localTime; }

void WINAPI FakeDebug(LPCWSTR text) {
    EnterCriticalSection(&g_recorder->lock);
    g_recorder->debug.push_back(text);
    LeaveCriticalSection(&g_recorder->lock);
}

HANDLE WINAPI FakeRegister(LPCWSTR server, LPCWSTR source) {
    ++g_recorder->registrations;
    return OEventLogSystem::Real().registerEventSource(server, source);
}

BOOL WINAPI FakeReport(HANDLE, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD size,
                       LPCWSTR* strings, LPVOID raw) {
    Event event;
    event.type = type;
    event.category = category;
    event.id = id;
    event.user = user;
    for (WORD i = 0; i < count; ++i) {
        event.strings.push_back(strings[i]);
    }
    event.raw.assign(static_cast<uint8_t*>(raw), static_cast<uint8_t*>(raw) + size);
    EnterCriticalSection(&g_recorder->lock);
    g_recorder->events.push_back(event);
    LeaveCriticalSection(&g_recorder->lock);
    return TRUE;
}

bool FakeAppend(const wchar_t* path, const char* line) {
    EnterCriticalSection(&g_recorder->lock);
    g_recorder->lines.push_back(FileLine{path, line});
    LeaveCriticalSection(&g_recorder->lock);
    return g_recorder->realFiles ? OEventLogSystem::Real().appendFileLine(path, line) : true;
}

std::wstring ApplicationSourceKey(const std::wstring& source) {
    return L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\" + source;
}

class OEventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_scratch.IsValid());
        InitializeCriticalSection(&m_recorder.lock);
        g_recorder = &m_recorder;
        m_maskRoot = m_scratch.Path() + L"/DebugLogMasks\\";
        OEventLogSystem system = OEventLogSystem::Real();
        system.getTickCount64 = FakeTick;
        system.queryPerformanceCounter = FakeCounter;
        system.getLocalTime = FakeLocalTime;
        system.outputDebugString = FakeDebug;
        system.registerEventSource = FakeRegister;
        system.reportEvent = FakeReport;
        system.appendFileLine = FakeAppend;
        system.maskRoot = m_maskRoot.c_str();
        m_override = std::make_unique<OEventLogSystemOverride>(system);
    }

    void TearDown() override {
        m_override.reset();
        for (const std::wstring& source : m_sources) {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, ApplicationSourceKey(source).c_str());
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, ApplicationSourceKey(source).c_str());
        }
        g_recorder = nullptr;
        DeleteCriticalSection(&m_recorder.lock);
    }

    // A source name of this test alone.
    std::wstring NewSource() {
        m_sources.push_back(UniqueTestName(L"Quorvel Test "));
        return m_sources.back();
    }
    bool SetMask(const std::wstring& source, DWORD mask) { return m_scratch.SetDword(L"DebugLogMasks", source, mask); }
    bool GetMask(const std::wstring& source, DWORD& mask, DWORD* type = nullptr) {
        std::vector<BYTE> data;
        if (!m_scratch.GetRaw(L"DebugLogMasks", source, data, type) || data.size() != 4) {
            return false;
        }
        std::memcpy(&mask, data.data(), 4);
        return true;
    }

    ScratchRegistryKey m_scratch;
    Recorder m_recorder;
    std::wstring m_maskRoot;
    std::vector<std::wstring> m_sources;
    std::unique_ptr<OEventLogSystemOverride> m_override;
};

TEST_F(OEventLogTest, DefaultMaskIsWrittenOnFirstUse) {
    std::wstring source = NewSource();
    DWORD mask = 0;
    ASSERT_FALSE(GetMask(source, mask));
    OEventLog log(OString(source.c_str()));
    DWORD type = 0;
    ASSERT_TRUE(GetMask(source, mask, &type));
    EXPECT_EQ(mask, 0xE0000000u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_TRUE(log.IsEnabled(OEventLog::kErrors));
    EXPECT_TRUE(log.IsEnabled(OEventLog::kWarnings));
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo));
    EXPECT_FALSE(log.IsEnabled(OEventLog::kDetailInfo));
    EXPECT_FALSE(log.IsEnabled(OEventLog::kDetailInfoA));
}

TEST_F(OEventLogTest, StoredMaskSelectsLevels) {
    struct Row {
        DWORD mask;
        uint32_t level;
        bool enabled;
        const char* note;
    };
    const Row rows[] = {
        {0x10000080, OEventLog::kDetailInfo, true, "detail bit"},
        {0x10000080, OEventLog::kDetailInfoH, true, "letter H is 0x80"},
        {0x10000080, OEventLog::kDetailInfoG, false, "letter G is 0x40"},
        {0x10000080, OEventLog::kErrors, false, "errors are off too"},
        {0x10000080, OEventLog::kInfo, false, "info off"},
        {0x00008001, OEventLog::kDetailInfoP, true, "letter P is 0x8000"},
        {0x00008001, OEventLog::kDetailInfoA, true, "letter A is 0x1"},
        {0x00000000, OEventLog::kErrors, false, "everything off"},
        {0x80000000, OEventLog::kErrors, true, "errors only"},
        {0x80000000, OEventLog::kWarnings, false, "errors only"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring source = NewSource();
        ASSERT_TRUE(SetMask(source, row.mask));
        OEventLog log(OString(source.c_str()));
        EXPECT_EQ(log.IsEnabled(row.level), row.enabled);
        DWORD stored = 0;
        ASSERT_TRUE(GetMask(source, stored));
        EXPECT_EQ(stored, row.mask) << "an existing mask was overwritten";
    }
}

TEST_F(OEventLogTest, MalformedMaskGivesDefaultAndIsRewritten) {
    std::wstring source = NewSource();
    const uint8_t two[2] = {0xFF, 0xFF};
    ASSERT_TRUE(m_scratch.SetRaw(L"DebugLogMasks", source, REG_BINARY, two, 2));
    OEventLog log(OString(source.c_str()));
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo));
    EXPECT_FALSE(log.IsEnabled(OEventLog::kDetailInfoA));
    DWORD mask = 0;
    DWORD type = 0;
    ASSERT_TRUE(GetMask(source, mask, &type));
    EXPECT_EQ(mask, 0xE0000000u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(OEventLogTest, EditedMaskTakesEffectAfter5000Ms) {
    // Start just below the 32-bit wrap of the tick count, so the refresh
    // interval is measured across it.
    const uint64_t start = 0xFFFFF000ull;
    m_recorder.tick = start;
    std::wstring source = NewSource();
    OEventLog log(OString(source.c_str()));
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo));
    ASSERT_TRUE(SetMask(source, OEventLog::kErrors));

    m_recorder.tick = start + 4999;
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo)) << "re-read too early";
    m_recorder.tick = start + 5000;
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo)) << "the interval is 'more than' 5000 ms";
    m_recorder.tick = start + 5001;
    EXPECT_FALSE(log.IsEnabled(OEventLog::kInfo)) << "edit not seen after 5001 ms";
    EXPECT_TRUE(log.IsEnabled(OEventLog::kErrors));

    // The next edit is seen 5001 ms after that re-read, not before.
    ASSERT_TRUE(SetMask(source, OEventLog::kInfo));
    m_recorder.tick = start + 10001;
    EXPECT_FALSE(log.IsEnabled(OEventLog::kInfo));
    m_recorder.tick = start + 10002;
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo));

    // A deleted value reads as the default again.
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, (m_scratch.Subkey() + L"\\DebugLogMasks").c_str(),
                                 source.c_str()),
              ERROR_SUCCESS);
    m_recorder.tick = start + 15003;
    EXPECT_TRUE(log.IsEnabled(OEventLog::kWarnings));
}

TEST_F(OEventLogTest, LevelsReachTheirOutputs) {
    struct Row {
        DWORD sourceMask;
        uint32_t level;
        bool event;
        bool debugger;
        WORD type;
        DWORD id;
        const char* note;
    };
    const Row rows[] = {
        {0xE0000000, OEventLog::kErrors, true, true, 1, 0xCFFF0300, "error: event and debugger"},
        {0xE0000000, OEventLog::kWarnings, true, true, 2, 0x8FFF0200, "warning: event and debugger"},
        {0xE0000000, OEventLog::kInfo, true, false, 4, 0x4FFF0100, "info: event only"},
        {0xE8000000, OEventLog::kInfo, true, true, 4, 0x4FFF0100, "info with the debugger bit"},
        {0x10000000, OEventLog::kDetailInfo, true, false, 4, 0x4FFF0100, "detail: event only"},
        {0x18000000, OEventLog::kDetailInfo, true, true, 4, 0x4FFF0100, "detail with the debugger bit"},
        {0xE0000000, OEventLog::kDetailInfo, false, false, 0, 0, "disabled: nothing"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring source = NewSource();
        ASSERT_TRUE(SetMask(source, row.sourceMask));
        OEventLog log(OString(source.c_str()));
        m_recorder.events.clear();
        m_recorder.debug.clear();
        m_recorder.tick = 1234567;
        EXPECT_EQ(log.Write(OString(L"Component::Operation: text"), row.level), row.event);
        ASSERT_EQ(m_recorder.events.size(), row.event ? 1u : 0u);
        if (row.event) {
            const Event& event = m_recorder.events[0];
            EXPECT_EQ(event.type, row.type);
            EXPECT_EQ(event.id, row.id);
            EXPECT_EQ(event.category, 0);
            EXPECT_EQ(event.user, nullptr);
            ASSERT_EQ(event.strings.size(), 1u);
            EXPECT_EQ(event.strings[0], L"Component::Operation: text");
            ASSERT_EQ(event.raw.size(), 56u);
            EXPECT_EQ(event.Mask(), row.level);
            uint32_t tick = 0;
            std::memcpy(&tick, event.raw.data() + 8, 4);
            EXPECT_EQ(tick, 1234567u);
            uint32_t thread = 0;
            std::memcpy(&thread, event.raw.data() + 32, 4);
            EXPECT_EQ(thread, GetCurrentThreadId());
            uint32_t process = 0;
            std::memcpy(&process, event.raw.data() + 40, 4);
            EXPECT_EQ(process, GetCurrentProcessId());
        }
        ASSERT_EQ(m_recorder.debug.size(), row.debugger ? 1u : 0u);
        if (row.debugger) {
            // Tick 1234567 ms: 1234 s and 567 ms, padded to ten digits.
            EXPECT_EQ(m_recorder.debug[0], L"0001234.567: Component::Operation: text\n");
        }
    }
}

TEST_F(OEventLogTest, MessageOf31767CharactersIsCut) {
    std::wstring source = NewSource();
    OEventLog log(OString(source.c_str()));
    const std::wstring suffix = L" **** Message too long. OEventLogBase truncated it ****";
    std::wstring whole(31766, L'a');
    ASSERT_TRUE(log.Write(OString(whole.c_str()), OEventLog::kWarnings));
    std::wstring longer(31767, L'b');
    ASSERT_TRUE(log.Write(OString(longer.c_str()), OEventLog::kWarnings));
    ASSERT_EQ(m_recorder.events.size(), 2u);
    EXPECT_EQ(m_recorder.events[0].strings[0], whole);
    EXPECT_EQ(m_recorder.events[1].strings[0], std::wstring(31766, L'b') + suffix);
    // Only the Windows event is cut; the debugger gets the whole message.
    ASSERT_EQ(m_recorder.debug.size(), 2u);
    EXPECT_EQ(m_recorder.debug[1].size(), 13u + 31767u + 1u);
}

TEST_F(OEventLogTest, FileLogLineAndPath) {
    std::wstring source = NewSource();
    ASSERT_TRUE(SetMask(source, 0xE4000000));
    m_recorder.localTime.wYear = 2023;
    m_recorder.localTime.wMonth = 11;
    m_recorder.localTime.wDay = 2;
    m_recorder.localTime.wHour = 14;
    m_recorder.localTime.wMinute = 5;
    m_recorder.localTime.wSecond = 6;
    OEventLog log(OString(source.c_str()));
    ASSERT_TRUE(log.Write(OString(L"Pool::Close: idle"), OEventLog::kInfo));
    ASSERT_EQ(m_recorder.lines.size(), 1u);
    std::wstring fileName = source;
    for (wchar_t& c : fileName) {
        c = c == L' ' ? L'_' : c;
    }
    EXPECT_EQ(m_recorder.lines[0].path, L"C:\\Log Files\\" + fileName + L".txt");
    char thread[16];
    std::snprintf(thread, sizeof(thread), "%08X", static_cast<unsigned>(GetCurrentThreadId()));
    std::string narrowSource(OString(source.c_str()).GetNarrow());
    EXPECT_EQ(m_recorder.lines[0].line,
              "11/02/2023 14:05:06, " + narrowSource + ", Info, Thread:0x" + thread + ", Pool::Close: idle\n");
    DWORD attributes = GetFileAttributesW(L"C:\\Log Files");
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);

    // Without the file bit nothing goes to the file.
    std::wstring quiet = NewSource();
    OEventLog quietLog(OString(quiet.c_str()));
    ASSERT_TRUE(quietLog.Write(OString(L"x"), OEventLog::kErrors));
    EXPECT_EQ(m_recorder.lines.size(), 1u);
}

TEST_F(OEventLogTest, FileLogAppendsToTheRealFile) {
    m_recorder.realFiles = true;
    std::wstring source = NewSource();
    ASSERT_TRUE(SetMask(source, 0xC4000000));
    std::wstring path = W(OEventLogBase::FileLogPath(OString(source.c_str())));
    DeleteFileW(path.c_str());
    OEventLog log(OString(source.c_str()));
    ASSERT_TRUE(log.Write(OString(L"first"), OEventLog::kErrors));
    ASSERT_TRUE(log.Write(OString(L"second"), OEventLog::kWarnings));

    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "no file at the logged path";
    char buffer[1024] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    DeleteFileW(path.c_str());
    std::string text(buffer, read);
    // Text mode: each line ends in CR LF on disk.
    ASSERT_EQ(m_recorder.lines.size(), 2u);
    std::string expected = m_recorder.lines[0].line + m_recorder.lines[1].line;
    std::string crlf;
    for (char c : expected) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_EQ(text, crlf);
    EXPECT_NE(text.find(", Errors, "), std::string::npos);
    EXPECT_NE(text.find(", Warnings, "), std::string::npos);
}

TEST_F(OEventLogTest, UnopenableFileNamesThePathTried) {
    m_recorder.realFiles = true;
    std::wstring source = NewSource();
    ASSERT_TRUE(SetMask(source, 0xC4000000));
    std::wstring path = W(OEventLogBase::FileLogPath(OString(source.c_str())));
    CreateDirectoryW(L"C:\\Log Files", nullptr);
    // A folder where the file should be: opening it for appending fails.
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    OEventLog log(OString(source.c_str()));
    EXPECT_TRUE(log.Write(OString(L"lost"), OEventLog::kErrors)) << "the event itself still goes out";
    RemoveDirectoryW(path.c_str());
    ASSERT_EQ(m_recorder.debug.size(), 2u);
    EXPECT_EQ(m_recorder.debug[1], L"OEventLogBase::WriteEventToFile Unable to open " + path + L"\n");
}

TEST_F(OEventLogTest, SourceIsRegisteredOnce) {
    std::wstring source = NewSource();
    const std::wstring stale = L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\System\\" + source;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, stale.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    OEventLog log(OString(source.c_str()));
    EXPECT_EQ(m_recorder.registrations, 0) << "registered before the first write";
    ASSERT_TRUE(log.Write(OString(L"one"), OEventLog::kErrors));
    ASSERT_TRUE(log.Write(OString(L"two"), OEventLog::kInfo));
    EXPECT_EQ(m_recorder.registrations, 1);

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring messageFile = std::wstring(system) + L"\\Quorvel_EventMessages.dll";
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ApplicationSourceKey(source).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    struct Row {
        const wchar_t* name;
        DWORD type;
    };
    for (const Row& row : {Row{L"EventMessageFile", REG_SZ}, Row{L"CategoryMessageFile", REG_SZ}}) {
        SCOPED_TRACE(OString(row.name).GetNarrow());
        wchar_t text[MAX_PATH + 64] = {};
        DWORD bytes = sizeof(text) - sizeof(wchar_t);
        DWORD type = 0;
        ASSERT_EQ(RegQueryValueExW(key, row.name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(std::wstring(text), messageFile);
    }
    for (const auto& [name, expected] : {std::pair{L"TypesSupported", 7u}, std::pair{L"CategoryCount", 2u}}) {
        SCOPED_TRACE(OString(name).GetNarrow());
        DWORD value = 0;
        DWORD bytes = sizeof(value);
        DWORD type = 0;
        ASSERT_EQ(RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes), ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(value, expected);
    }
    RegCloseKey(key);
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, stale.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS)
        << "the System registration was left";
}

TEST_F(OEventLogTest, ExistingRegistrationIsNotRewritten) {
    std::wstring source = NewSource();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ApplicationSourceKey(source).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    OEventLog log(OString(source.c_str()));
    ASSERT_TRUE(log.Write(OString(L"one"), OEventLog::kErrors));
    DWORD values = 99;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(values, 0u);
}

TEST_F(OEventLogTest, FrontEndsOfOneSourceShareOneBackEnd) {
    std::wstring source = NewSource();
    int32_t before = OEventLogBase::TableSize();
    OEventLog first(OString(source.c_str()));
    OEventLog second(OString(source.c_str()));
    EXPECT_EQ(OEventLogBase::TableSize(), before + 1);
    ASSERT_NE(first.GetBase(), nullptr);
    EXPECT_EQ(first.GetBase(), second.GetBase());

    ASSERT_TRUE(first.Write(OString(L"a"), OEventLog::kErrors));
    ASSERT_TRUE(second.Write(OString(L"b"), OEventLog::kErrors));
    EXPECT_EQ(m_recorder.registrations, 1) << "one event source for the shared back end";

    // A mask edit shows through both.
    first.IsEnabled(OEventLog::kInfo);
    ASSERT_TRUE(SetMask(source, OEventLog::kErrors));
    m_recorder.tick += 5001;
    EXPECT_FALSE(second.IsEnabled(OEventLog::kInfo));
    EXPECT_FALSE(first.IsEnabled(OEventLog::kInfo));
}

TEST_F(OEventLogTest, ParentChainAddsTagsAroundTheMessage) {
    std::wstring source = NewSource();
    auto root = std::make_shared<OEventLog>(OString(source.c_str()), true);
    root->Tags().AddTag(150, OString(L"conn 0x1F"));
    auto child = std::make_shared<OEventLog>(root);
    child->Tags().AddTag(30, OString(L"Job 12"));
    child->Tags().AddTag(40, OString());
    OEventLog leaf(child);
    int produced = 0;
    leaf.Tags().AddTag(120, [&produced] { return OString(static_cast<int32_t>(++produced)); });

    EXPECT_EQ(leaf.GetBase(), root->GetBase());
    ASSERT_TRUE(leaf.Write(OString(L"Printer::Status: busy"), OEventLog::kWarnings));
    ASSERT_EQ(m_recorder.events.size(), 1u);
    // Ids 20 (program), 30, 100 (message), 120, 150; ": " after ids below 100.
    EXPECT_EQ(m_recorder.events[0].strings[0],
              L"diagnostics_wine_tests.exe: Job 12: Printer::Status: busy - 1 - conn 0x1F");

    // The root writes with its own tags only.
    ASSERT_TRUE(root->Write(OString(L"m"), OEventLog::kWarnings));
    EXPECT_EQ(m_recorder.events[1].strings[0], L"diagnostics_wine_tests.exe: m - conn 0x1F");
    EXPECT_EQ(produced, 1) << "a disabled or unrelated write ran the leaf's producer";

    // A disabled level builds nothing.
    EXPECT_FALSE(leaf.Write(OString(L"x"), OEventLog::kDetailInfoA));
    EXPECT_EQ(produced, 1);
}

TEST_F(OEventLogTest, EmptyLineIsNotWritten) {
    std::wstring source = NewSource();
    OEventLog log(OString(source.c_str()));
    EXPECT_FALSE(log.Write(OString(), OEventLog::kErrors));
    EXPECT_TRUE(m_recorder.events.empty());
    EXPECT_TRUE(m_recorder.debug.empty());
}

TEST_F(OEventLogTest, WritefTestsTheLevelThenFormats) {
    std::wstring source = NewSource();
    OEventLog log(OString(source.c_str()));
    EXPECT_TRUE(log.Writef(OEventLog::kErrors, "TCPSocket::Connect", "error %d on %s, socket %s", 10061, "host:80",
                           OLogHex(0x2A4).GetNarrow()));
    ASSERT_EQ(m_recorder.events.size(), 1u);
    EXPECT_EQ(m_recorder.events[0].strings[0], L"TCPSocket::Connect: error 10061 on host:80, socket 0x2A4");
    EXPECT_FALSE(log.Writef(OEventLog::kDetailInfo, "A::B", "%d", 1));
    EXPECT_EQ(m_recorder.events.size(), 1u);
    std::string big(5000, 'z');
    EXPECT_TRUE(log.Writef(OEventLog::kErrors, "A::B", "%s", big.c_str()));
    EXPECT_EQ(m_recorder.events[1].strings[0].size(), 6u + 5000u) << "formatting must not stop at 1024";
}

TEST_F(OEventLogTest, SweepDropsUnusedIdleBackEnds) {
    m_recorder.tick = 50000000;
    std::wstring kept = NewSource();
    std::wstring dropped = NewSource();
    OEventLog keeper(OString(kept.c_str()));
    keeper.IsEnabled(OEventLog::kErrors);  // whatever the last sweep was, it is at most now
    OEventLogBase* keptBase = keeper.GetBase();
    {
        OEventLog temporary(OString(dropped.c_str()));
    }
    int32_t before = OEventLogBase::TableSize();
    ASSERT_TRUE(SetMask(dropped, 0x00000001));

    m_recorder.tick += 300001;
    keeper.IsEnabled(OEventLog::kErrors);
    EXPECT_LT(OEventLogBase::TableSize(), before);
    EXPECT_EQ(keeper.GetBase(), keptBase);

    // A front end of the dropped source gets a new back end, which reads the
    // mask at once instead of waiting for the refresh.
    OEventLog again(OString(dropped.c_str()));
    EXPECT_TRUE(again.IsEnabled(OEventLog::kDetailInfoA));
    EXPECT_FALSE(again.IsEnabled(OEventLog::kErrors));
}

TEST_F(OEventLogTest, ManyThreadsWriteThroughOneSource) {
    std::wstring source = NewSource();
    auto log = std::make_shared<OEventLog>(OString(source.c_str()));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([log, t] {
            OEventLog child(log);
            child.Tags().AddTag(30, OString(static_cast<int32_t>(t)));
            for (int i = 0; i < 200; ++i) {
                child.Write(OString(L"x"), OEventLog::kErrors);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(m_recorder.events.size(), 800u);
    EXPECT_EQ(m_recorder.debug.size(), 800u);
    EXPECT_EQ(m_recorder.registrations, 1);
}

}  // namespace
