// The event log under Wine, which discards reported events and hides debugger
// output: both are captured through the output seam, which also moves the clock.
#include "diagnostics/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/security.h"
#include "diagnostics/event_log_backend.h"
#include "diagnostics/event_log_format.h"
#include "support/files.h"
#include "support/links.h"
#include "support/process.h"
#include "support/scratch_registry.h"
#include "support/text.h"

namespace {

using QvTest::O;

struct Event {
    WORD type;
    DWORD id;
    bool plain;  // category 0, no user, one string
    std::wstring text;
    std::vector<uint8_t> raw;
};

// What the seam saw. One recorder at a time (the fixture's).
struct Recorder {
    std::mutex lock, reporting;
    uint64_t tick = 1000000;
    int registrations = 0;
    std::atomic<int> overlaps{0};
    DWORD pauseMs = 0;
    std::vector<std::wstring> debug;
    std::vector<Event> events;
};
Recorder* g_recorder = nullptr;
constexpr int64_t kCounter = 0x0102030405060708ll;
const std::wstring kSources = L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\";

class OEventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_scratch.IsValid());
        g_recorder = &m_recorder;
        m_maskRoot = m_scratch.Path() + L"/DebugLogMasks\\";
        OEventLogSystem system;
        system.queryPerformanceCounter = [](LARGE_INTEGER* counter) -> BOOL {
            counter->QuadPart = kCounter;
            return TRUE;
        };
        system.getLocalTime = [](SYSTEMTIME* time) { *time = {2023, 11, 4, 2, 14, 5, 6, 0}; };
        system.outputDebugString = [](LPCWSTR text) {
            std::lock_guard<std::mutex> lock(g_recorder->lock);
            g_recorder->debug.push_back(text);
        };
        system.registerEventSource = [](LPCWSTR server, LPCWSTR source) {
            ++g_recorder->registrations;
            return OEventLogSystem{}.registerEventSource(server, source);
        };
        system.reportEvent = [](HANDLE, WORD type, WORD category, DWORD id, PSID user, WORD count,
                                DWORD size, LPCWSTR* strings, LPVOID raw) -> BOOL {
            // Writes of one back end are serialised: a report finding another
            // under way (the more surely for the pause) is counted.
            std::unique_lock<std::mutex> inside(g_recorder->reporting, std::try_to_lock);
            g_recorder->overlaps += inside ? 0 : 1;
            ::Sleep(g_recorder->pauseMs);
            auto* bytes = static_cast<uint8_t*>(raw);
            std::lock_guard<std::mutex> lock(g_recorder->lock);
            g_recorder->events.push_back({type, id, category == 0 && user == nullptr && count == 1,
                                          strings[0], std::vector<uint8_t>(bytes, bytes + size)});
            return TRUE;
        };
        system.maskRoot = m_maskRoot.c_str();
        m_limitPath = m_scratch.Path() + L"/DebugLogFileLimit";
        system.fileLimitPath = m_limitPath.c_str();
        m_override = std::make_unique<OEventLogSystemOverride>(system);
        m_clock = std::make_unique<OClockOverride>(
            OClockApi{[]() -> ULONGLONG { return g_recorder->tick; }});
    }

    void TearDown() override {
        m_clock.reset();
        m_override.reset();
        for (const std::wstring& source : m_sources) {
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kSources + L"Application\\" + source).c_str());
        }
    }

    // A source name of this test alone, with its mask when one is given; its
    // registration is removed afterwards.
    std::wstring NewSource(DWORD mask = 0) {
        m_sources.push_back(UniqueTestName(L"Quorvel Test "));
        EXPECT_TRUE(mask == 0 || SetMask(m_sources.back(), mask));
        return m_sources.back();
    }
    bool SetMask(const std::wstring& source, DWORD mask) {
        return m_scratch.SetDword(L"DebugLogMasks", source, mask);
    }

    ScratchRegistryKey m_scratch;
    Recorder m_recorder;
    std::wstring m_maskRoot;
    std::wstring m_limitPath;
    std::vector<std::wstring> m_sources;
    std::unique_ptr<OEventLogSystemOverride> m_override;
    std::unique_ptr<OClockOverride> m_clock;
};

TEST_F(OEventLogTest, SourceMaskComesFromTheRegistryAndIsWrittenBack) {
    struct Row {
        DWORD bytes;  // 0: no value; 2: REG_BINARY; 4: REG_DWORD
        DWORD stored;
        uint32_t enabled, disabled;
        DWORD afterwards;
        const char* note;
    };
    // Levels: 0x80000000 errors, 0x40000000 warnings, 0x20000000 info,
    // 0x10000000 detail; letters A to P are 0x1 to 0x8000.
    const Row rows[] = {
        {0, 0, 0xE0000000, 0x10000001, 0xE0000000, "absent: the default"},
        {2, 0xFFFF, 0xE0000000, 0x00000001, 0xE0000000, "2 bytes: the default, rewritten"},
        {4, 0x10008081, 0x10008081, 0xA0000042, 0x10008081, "detail, letters P, H, A"},
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
    // Just below the 32-bit wrap of the tick count: intervals are measured across it.
    const uint64_t start = 0xFFFFF000ull;
    m_recorder.tick = start;
    std::wstring source = NewSource();
    OEventLog log(O(source));
    ASSERT_TRUE(SetMask(source, OEventLog::kErrors));
    m_recorder.tick = start + 5000;
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo)) << "the interval is 'more than' 5000 ms";
    m_recorder.tick = start + 5001;
    EXPECT_FALSE(log.IsEnabled(OEventLog::kInfo)) << "edit not seen after 5001 ms";
    // The next edit is seen 5001 ms after that re-read, not before.
    ASSERT_TRUE(SetMask(source, OEventLog::kInfo));
    m_recorder.tick = start + 10001;
    EXPECT_FALSE(log.IsEnabled(OEventLog::kInfo));
    m_recorder.tick = start + 10002;
    EXPECT_TRUE(log.IsEnabled(OEventLog::kInfo));
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
    m_recorder.tick += 300001;
    keeper.IsEnabled(OEventLog::kErrors);
    EXPECT_LT(OEventLogBase::TableSize(), before);
    // A back end still referred to stays in the table however idle it is.
    EXPECT_EQ(OEventLog(O(used)).GetBase(), idleButUsed.GetBase());
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
        {0xE0000000, OEventLog::kInfo, true, false, 4, 0x4FFF0100, "info: event only"},
        {0x18000080, OEventLog::kDetailInfoH, true, true, 4, 0x4FFF0100, "detail, debugger bit"},
        {0xE0000000, OEventLog::kDetailInfo, false, false, 0, 0, "disabled: nothing"},
    };
    m_recorder.tick = 0x100000000ull + 1234567;  // 4296201863 ms
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        m_recorder.events.clear();
        m_recorder.debug.clear();
        OEventLog log(O(NewSource(row.sourceMask)));
        EXPECT_EQ(log.Write(OString(L"Component::Operation: text"), row.level), row.event);
        ASSERT_EQ(m_recorder.events.size(), row.event ? 1u : 0u);
        if (row.event) {
            const Event& event = m_recorder.events[0];
            EXPECT_TRUE(event.type == row.type && event.id == row.id && event.plain);
            EXPECT_EQ(event.text, L"Component::Operation: text");
            uint8_t raw[OEventLogFormat::kRawDataBytes];
            OEventLogFormat::BuildRawData(raw, m_recorder.tick, kCounter, row.level,
                                          GetCurrentThreadId(), GetCurrentProcessId());
            EXPECT_EQ(event.raw, std::vector<uint8_t>(raw, raw + sizeof(raw)));
        }
        ASSERT_EQ(m_recorder.debug.size(), row.debugger ? 1u : 0u);
        if (row.debugger) {
            EXPECT_EQ(m_recorder.debug[0], L"4296201.863: Component::Operation: text\n");
        }
    }
    // Only the event is cut; the debugger gets the whole message.
    OString longest(std::wstring(31767, L'b').c_str());
    ASSERT_TRUE(OEventLog(O(NewSource())).Write(longest, OEventLog::kWarnings));
    EXPECT_EQ(m_recorder.events.back().text, OEventLogFormat::CutMessage(longest).GetWide());
    EXPECT_EQ(m_recorder.debug.back().size(), 13u + 31767u + 1u);
}

// File lines of one source are appended under its mutexes, so writers in
// other processes do not overwrite each other's lines: the name the driver's
// other components take in their session, and its global twin that excludes
// the library's writers in other sessions (Wine, as Windows, keeps them apart).
TEST_F(OEventLogTest, FileLinesAreAppendedUnderTheSourcesMutex) {
    std::wstring source = NewSource(0xE4000000);
    std::wstring path = OEventLogFormat::FileLogPath(O(source)).GetWide();
    OEventLog log(O(source));
    DWORD writerThreads[2] = {};
    for (const wchar_t* prefix : {L"", L"Global\\"}) {
        SCOPED_TRACE(O(prefix).GetNarrow());
        // The writer may have opened it already: ownership comes from a wait.
        OKernelHandle held(::CreateMutexW(
            nullptr, FALSE,
            (prefix + std::wstring(L"Brantheon File Log Mutex for ") + source).c_str()));
        ASSERT_TRUE(held && ::WaitForSingleObject(held.Get(), 0) == WAIT_OBJECT_0);
        std::atomic<bool> written{false};
        std::thread writer([&] {
            writerThreads[*prefix == L'\0' ? 0 : 1] = ::GetCurrentThreadId();
            log.Write(OString(L"Pool::Close: idle"), OEventLog::kInfo);
            written = true;
        });
        ::Sleep(300);
        EXPECT_FALSE(written) << "the line was written while another writer held the file";
        ::ReleaseMutex(held.Get());
        writer.join();
    }
    ASSERT_TRUE(log.Write(OString(L"second"), OEventLog::kErrors));
    std::string text = QvTest::ReadWholeFile(path).value_or("");
    ::DeleteFileW(path.c_str());
    auto line = [&source](const char* level, DWORD thread, const char* message) {
        char buffer[512];
        std::snprintf(buffer, sizeof(buffer), "11/02/2023 14:05:06, %s, %s, Thread:0x%08X, %s\r\n",
                      O(source).GetNarrow(), level, static_cast<unsigned>(thread), message);
        return std::string(buffer);
    };
    // Text mode: each line ends in CR LF on disk.
    EXPECT_EQ(text, line("Info", writerThreads[0], "Pool::Close: idle") +
                        line("Info", writerThreads[1], "Pool::Close: idle") +
                        line("Errors", ::GetCurrentThreadId(), "second"));
    // Without the file bit nothing goes to a file.
    std::wstring quiet = NewSource();
    ASSERT_TRUE(OEventLog(O(quiet)).Write(OString(L"x"), OEventLog::kErrors));
    EXPECT_EQ(::GetFileAttributesW(OEventLogFormat::FileLogPath(O(quiet)).GetWide()),
              INVALID_FILE_ATTRIBUTES);
}

// A file log that is a link is not written: the file it leads to keeps its
// bytes, and the debugger hears of it once per source, not at every line.
TEST_F(OEventLogTest, AFileLogThatIsALinkIsRefusedOnce) {
    struct Row {
        bool hardLink, reparse, elsewhere;
        const char* note;
    } rows[] = {
        {true, false, false, "a second hard link (real under Wine)"},
        {false, true, false, "a reparse point"},
        {false, false, true, "a link only the final path shows"},
    };
    using QvTest::LinkSeam;
    OScopedFileIdentityApi use(LinkSeam::Api());
    QvTest::ScratchFolder folder;
    const std::wstring target = folder.File(L"target.txt");
    ASSERT_TRUE(QvTest::WriteWholeFile(target, "kept"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        std::wstring source = NewSource(OEventLog::kErrors | OEventLog::kFileLog);
        std::wstring path = OEventLogFormat::FileLogPath(O(source)).GetWide();
        ASSERT_TRUE(row.hardLink ? ::CreateHardLinkW(path.c_str(), target.c_str(), nullptr)
                                 : QvTest::WriteWholeFile(path, "kept"));
        LinkSeam::reparse = row.reparse;
        LinkSeam::elsewhere = row.elsewhere;
        m_recorder.debug.clear();
        OEventLog log(O(source));
        EXPECT_TRUE(log.Write(OString(L"one"), OEventLog::kErrors));
        EXPECT_TRUE(log.Write(OString(L"two"), OEventLog::kErrors));
        LinkSeam::reparse = LinkSeam::elsewhere = false;
        EXPECT_EQ(QvTest::ReadWholeFile(path), std::optional<std::string>("kept"));
        ::DeleteFileW(path.c_str());
        EXPECT_EQ(std::count_if(m_recorder.debug.begin(), m_recorder.debug.end(),
                                [](const std::wstring& line) {
                                    return line.find(L"Unable to open") != std::wstring::npos;
                                }),
                  1);
    }
    EXPECT_EQ(QvTest::ReadWholeFile(target), std::optional<std::string>("kept"));
}

TEST_F(OEventLogTest, FileLimitIsReadWithTheMaskAndClamped) {
    struct Row {
        DWORD type;  // REG_NONE: no value
        std::vector<BYTE> data;
        uint32_t limit;
        const char* note;
    };
    auto dword = [](DWORD value) {
        return std::vector<BYTE>(reinterpret_cast<BYTE*>(&value),
                                 reinterpret_cast<BYTE*>(&value) + 4);
    };
    const uint64_t mebibyte = 1 << 20;
    const wchar_t text[] = L"1048576";
    const Row rows[] = {
        {REG_NONE, {}, 8 << 20, "absent: 8 MiB"},
        {REG_DWORD, dword(0), 8 << 20, "0 means the default"},
        {REG_DWORD, dword(1000), 64 << 10, "tiny: 64 KiB"},
        {REG_DWORD, dword(0xFFFFFFFF), 1u << 30, "huge: 1 GiB"},
        {REG_DWORD, dword(300000), 300000, "within the bounds: as given"},
        {REG_SZ,
         std::vector<BYTE>(reinterpret_cast<const BYTE*>(text),
                           reinterpret_cast<const BYTE*>(text) + sizeof text),
         8 << 20, "text: the default"},
        {REG_QWORD,
         std::vector<BYTE>(reinterpret_cast<const BYTE*>(&mebibyte),
                           reinterpret_cast<const BYTE*>(&mebibyte) + 8),
         8 << 20, "8 bytes: the default"},
    };
    std::wstring source = NewSource();
    OEventLog log(O(source));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        if (row.type != REG_NONE) {
            ASSERT_TRUE(m_scratch.SetRaw(L"", L"DebugLogFileLimit", row.type, row.data.data(),
                                         static_cast<DWORD>(row.data.size())));
        }
        // Seen by a back end at its next mask refresh, not before.
        uint32_t before = log.GetBase()->GetFileLimit();
        m_recorder.tick += 5000;
        log.IsEnabled(OEventLog::kErrors);
        EXPECT_EQ(log.GetBase()->GetFileLimit(), before);
        m_recorder.tick += 1;
        log.IsEnabled(OEventLog::kErrors);
        EXPECT_EQ(log.GetBase()->GetFileLimit(), row.limit);
    }
}

// One writer process of the roll-over test: the source, the scratch key and
// its number come on the command line after "--roll".
// Under Wine a file-log line costs about 1 ms (two mutexes, an open and the
// link checks, each a call to the Wine server): 30,000 lines a writer took
// minutes, these take seconds and still roll the file over several times.
constexpr int kRollLines = 4000;
TEST(FileLogRollChild, DISABLED_WritesNumberedLines) {
    std::wstring command = ::GetCommandLineW();
    size_t at = command.find(L"--roll ");
    ASSERT_NE(at, std::wstring::npos);
    std::wstring root, source;
    int writer = 0;
    {
        std::wstring rest = command.substr(at + 7);
        size_t first = rest.find(L'|'), second = rest.find(L'|', first + 1);
        writer = std::stoi(rest.substr(0, first));
        root = rest.substr(first + 1, second - first - 1);
        source = rest.substr(second + 1);
    }
    std::wstring masks = root + L"/DebugLogMasks\\";
    std::wstring limit = root + L"/DebugLogFileLimit";
    OEventLogSystem system;
    system.maskRoot = masks.c_str();
    system.fileLimitPath = limit.c_str();
    OEventLogSystemOverride use(system);
    OEventLog log(O(source));
    for (int line = 0; line < kRollLines; ++line) {
        log.Writef(OEventLog::kInfo, "Roll::Write", "writer %d line %06d %s", writer, line,
                   std::string(40, 'x').c_str());
    }
}

// Three processes write one source's file log past its limit many times over:
// both files stay within the limit, and every line the last roll kept is whole,
// in order per writer and there once.
TEST_F(OEventLogTest, FileLogsRollOverWithoutLosingOrTearingLines) {
    constexpr int kWriters = 3;
    constexpr uint32_t kLimit = 256 << 10;
    std::wstring source = NewSource(OEventLog::kInfo | OEventLog::kFileLog);
    ASSERT_TRUE(m_scratch.SetDword(L"", L"DebugLogFileLimit", kLimit));
    std::wstring path = OEventLogFormat::FileLogPath(O(source)).GetWide();
    std::wstring rolled = OEventLogBase::RolledFileLogPath(O(source)).GetWide();
    std::vector<std::thread> writers;
    QvTest::ProcessResult runs[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            runs[w] = QvTest::RunProgram(
                L"diagnostics_wine_tests.exe "
                L"--gtest_filter=FileLogRollChild.* "
                L"--gtest_also_run_disabled_tests --roll " +
                    std::to_wstring(w) + L"|" + m_scratch.Path() + L"|" + source,
                600000);
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    std::string kept[2] = {QvTest::ReadWholeFile(rolled).value_or(""),
                           QvTest::ReadWholeFile(path).value_or("")};
    ::DeleteFileW(path.c_str());
    ::DeleteFileW(rolled.c_str());
    for (const QvTest::ProcessResult& run : runs) {
        ASSERT_EQ(run.exitCode, 0u) << "start error " << run.startError << "\n" << run.output;
    }
    const std::string head = ", " + std::string(O(source).GetNarrow()) + ", Info, Thread:0x";
    int next[kWriters] = {-1, -1, -1};
    for (const std::string& file : kept) {
        EXPECT_GT(file.size(), 0u);
        EXPECT_LE(file.size(), kLimit);
        size_t start = 0;
        for (size_t end; (end = file.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = file.substr(start, end - start);
            int writer = -1, number = -1;
            char tail[64] = {};
            bool whole =
                line.size() > 19 + head.size() + 10 && line.compare(19, head.size(), head) == 0 &&
                std::sscanf(line.c_str() + 19 + head.size() + 10,
                            "Roll::Write: writer %d line %d %63s", &writer, &number, tail) == 3 &&
                writer >= 0 && writer < kWriters && std::string(tail) == std::string(40, 'x');
            ASSERT_TRUE(whole) << "torn: " << line;
            // Each writer's kept lines are consecutive: none lost after the
            // first kept, none twice.
            EXPECT_TRUE(next[writer] < 0 || number == next[writer]) << line;
            next[writer] = number + 1;
        }
        EXPECT_EQ(start, file.size()) << "a line without its end";
    }
    // The files hold the newest lines of all: a writer seen there is seen to
    // its last line (one that ended early may be gone altogether).
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_TRUE(next[w] < 0 || next[w] == kRollLines) << "writer " << w;
    }
    EXPECT_GT(kept[0].size(), kLimit - 200) << "rolled over well before the limit";
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
    std::vector<BYTE> data;
    DWORD type = 0;
    ASSERT_TRUE(registration.GetRaw(L"", L"CategoryMessageFile", data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2),
              std::wstring(system) + L"\\Quorvel_EventMessages.dll" + L'\0');
    EXPECT_TRUE(registration.HasDword(L"", L"TypesSupported", 7));
    EXPECT_TRUE(registration.HasDword(L"", L"CategoryCount", 2));
}

// Writes of one back end from front ends on several threads are serialised.
TEST_F(OEventLogTest, FrontEndsOfOneSourceShareOneBackEnd) {
    std::wstring source = NewSource();
    OEventLog first(O(source));
    m_recorder.pauseMs = 1;
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
    EXPECT_EQ(m_recorder.events.size(), 200u);
    EXPECT_EQ(m_recorder.overlaps, 0) << "writes of one back end overlapped";
    EXPECT_EQ(m_recorder.registrations, 1) << "one event source for the shared back end";
}

TEST_F(OEventLogTest, FrontEndBuildsTheLineFromItsChainOfTags) {
    auto root = std::make_shared<OEventLog>(O(NewSource()), true);
    root->Tags().AddTag(150, OString(L"conn 0x1F"));
    auto child = std::make_shared<OEventLog>(root);
    child->Tags().AddTag(30, OString(L"Job 12"));
    OEventLog leaf(child);
    int produced = 0;
    leaf.Tags().AddTag(120, [&produced] { return OString(static_cast<int32_t>(++produced)); });
    EXPECT_EQ(produced, 0) << "a producer ran before the line was rendered";
    ASSERT_TRUE(leaf.Write(OString(L"Printer::Status: busy"), OEventLog::kWarnings));
    ASSERT_TRUE(root->Write(OString(L"m"), OEventLog::kWarnings));  // its own tags only
    EXPECT_FALSE(leaf.Write(OString(L"x"), OEventLog::kDetailInfoA));
    EXPECT_EQ(produced, 1) << "a disabled level builds nothing";
    EXPECT_FALSE(root->Writef(OEventLog::kDetailInfo, "A::B", "%d", 1));
    EXPECT_FALSE(OEventLog(O(NewSource())).Write(OString(), OEventLog::kErrors)) << "empty line";
    // Formatting has no length limit (a fixed buffer would stop at 1024).
    OEventLog plain(O(NewSource()));
    EXPECT_TRUE(plain.Writef(OEventLog::kErrors, "TCPSocket::Connect", "error %d on %s, %s %s",
                             10061, "host:80", OLogHex(~0ull).GetNarrow(),
                             std::string(2000, 'z').c_str()));
    ASSERT_EQ(m_recorder.events.size(), 3u);
    // Ids 20 (program), 30, 100 (message), 120, 150; ": " after ids below 100.
    EXPECT_EQ(m_recorder.events[0].text,
              L"diagnostics_wine_tests.exe: Job 12: Printer::Status: busy - 1 - conn 0x1F");
    EXPECT_EQ(m_recorder.events[1].text, L"diagnostics_wine_tests.exe: m - conn 0x1F");
    EXPECT_EQ(m_recorder.events[2].text,
              L"TCPSocket::Connect: error 10061 on host:80, 0xFFFFFFFFFFFFFFFF " +
                  std::wstring(2000, L'z'));
}

}  // namespace
