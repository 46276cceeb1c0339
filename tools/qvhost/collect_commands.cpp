#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "quorvel_driver_utility.h"
#include "tools/qvhost/qvhost.h"
#include "tools/qvhost/zip_writer.h"

// collect: one zip a support engineer can send, made only of what a host can
// ask the DLL and read from the machine. Whatever cannot be read is named in
// the manifest with the reason, and the rest is still collected: a broken
// DLL or a printer that is switched off must not cost the logs.

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// Without --dumps the zip stays under 32 MiB: every entry is capped before it
// is added, and what deflate does not shrink is stored, never grown.
constexpr uint64_t kMaxLogBytes = 4 * kMiB;  // each file log: its newest part
constexpr uint64_t kLogBudget = 24 * kMiB;   // all file logs together
// A dump beyond this is listed but not added: the zip has no ZIP64.
constexpr uint64_t kMaxDumpBytes = 1024 * kMiB;
constexpr size_t kDiagnoseThreads = 8;
// The library's fixed places: its file logs, and below the common
// application-data folder its crash dumps.
constexpr wchar_t kLogFolder[] = L"C:\\Log Files\\";
constexpr wchar_t kDumpSubfolder[] = L"\\Quorvel\\Drivers\\Dump\\";
constexpr wchar_t kDriversKey[] = L"SOFTWARE\\Brantheon\\Drivers";
constexpr wchar_t kFileLimitValue[] = L"DebugLogFileLimit";
constexpr int64_t kDefaultFileLimit = 8 * kMiB;

std::wstring IsoTime(const FILETIME& time) {
    SYSTEMTIME utc{};
    FileTimeToSystemTime(&time, &utc);
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay,
             utc.wHour, utc.wMinute, utc.wSecond);
    return text;
}

std::wstring ErrorText(DWORD error) {
    return L"error " + std::to_wstring(error);
}

// A printer's name as a file name in the zip: the characters Windows and
// unzip tools refuse become '_'.
std::wstring SafeName(const std::wstring& name) {
    std::wstring safe = name;
    for (wchar_t& c : safe) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) {
            c = L'_';
        }
    }
    return safe;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FileNameOf(const std::wstring& path) {
    return path.substr(path.find_last_of(L"\\/") + 1);
}

const QvJsonValue* Member(const QvJsonValue* value, const char* key) {
    return value != nullptr ? value->Find(key) : nullptr;
}

std::wstring TextAt(const QvJsonValue* value, const char* key) {
    const QvJsonValue* member = Member(value, key);
    return member != nullptr ? member->Line() : L"(none)";
}

struct FileRead {
    DWORD error = 0;  // 0 when read
    uint64_t size = 0;
    FILETIME modified{};
    std::string bytes;
};

// The file's last limit bytes (all of it when smaller). A log is read while
// the library may write it, so every sharing mode is allowed; a cut log
// starts at its first whole line.
FileRead ReadTail(const std::wstring& path, uint64_t limit, bool wholeLines) {
    FileRead read;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        read.error = GetLastError();
        return read;
    }
    LARGE_INTEGER size{};
    LARGE_INTEGER start{};
    if (!GetFileSizeEx(file, &size) || !GetFileTime(file, nullptr, nullptr, &read.modified)) {
        read.error = GetLastError();
    } else {
        read.size = static_cast<uint64_t>(size.QuadPart);
        start.QuadPart = static_cast<LONGLONG>(read.size > limit ? read.size - limit : 0);
        if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
            read.error = GetLastError();
        }
    }
    read.bytes.resize(read.error == 0 ? static_cast<size_t>(read.size - start.QuadPart) : 0);
    size_t have = 0;
    while (read.error == 0 && have < read.bytes.size()) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(read.bytes.size() - have, kMiB));
        if (!ReadFile(file, read.bytes.data() + have, want, &got, nullptr)) {
            read.error = GetLastError();
        }
        // A file that shrank while being read ends early: keep what was there.
        if (got == 0) {
            read.bytes.resize(have);
        }
        have += got;
    }
    CloseHandle(file);
    if (wholeLines && start.QuadPart > 0) {
        const size_t line = read.bytes.find('\n');
        read.bytes.erase(0, line == std::string::npos ? read.bytes.size() : line + 1);
    }
    return read;
}

std::wstring RegistryText(HKEY root, const wchar_t* key, const wchar_t* value) {
    std::vector<wchar_t> text(256);
    // The value may grow between the size question and the read: ask again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        const LONG result =
            RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, text.data(), &bytes);
        if (result == ERROR_SUCCESS) {
            return text.data();
        }
        if (result != ERROR_MORE_DATA) {
            return L"(unavailable: " + ErrorText(static_cast<DWORD>(result)) + L")";
        }
        text.resize(bytes / sizeof(wchar_t) + 1);
    }
    return L"(unavailable: the value keeps growing)";
}

// RtlGetVersion, because GetVersionExW answers what the program's manifest
// admits rather than what runs; and Wine's own version where there is one.
QvJson WindowsVersion() {
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    using WineVersionFunction = const char*(CDECL*)();
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto getVersion = reinterpret_cast<GetVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    auto wineVersion = reinterpret_cast<WineVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    QvJson json;
    if (getVersion != nullptr && getVersion(&info) == 0) {
        json.Add("major", static_cast<int64_t>(info.dwMajorVersion))
            .Add("minor", static_cast<int64_t>(info.dwMinorVersion))
            .Add("build", static_cast<int64_t>(info.dwBuildNumber))
            .Add("servicePack", std::wstring(info.szCSDVersion));
    }
    const wchar_t* key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    json.Add("productName", RegistryText(HKEY_LOCAL_MACHINE, key, L"ProductName"))
        .Add("currentBuild", RegistryText(HKEY_LOCAL_MACHINE, key, L"CurrentBuild"));
    if (wineVersion != nullptr) {
        json.Add("wine", QvFromUtf8(wineVersion()));
    }
    return json;
}

// One printer's report from the DLL; empty json with the last error when the
// DLL gave none.
struct Report {
    std::wstring printer;
    std::wstring json;
    DWORD error = 0;
    QvJsonValue value;
    bool parsed = false;
};

// Every printer at once: each report is bounded by its printer's network
// settings, so a few switched-off printers cost one bound, not one each.
void DiagnoseAll(QV_PFN_QVDI_DIAGNOSE_PRINTER diagnose, std::vector<Report>& reports) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < reports.size();) {
            Report& report = reports[i];
            try {
                wchar_t* text = diagnose(report.printer.c_str(), 0);
                report.error = GetLastError();
                report.json = QvHost::TakeBstr(text).value_or(L"");
            } catch (const std::exception&) {
                report.error = ERROR_NOT_ENOUGH_MEMORY;
            }
        }
    };
    std::vector<std::thread> threads;
    for (size_t t = 0; t < std::min(kDiagnoseThreads, reports.size()); ++t) {
        // A thread that cannot be made leaves its share to the others.
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    if (threads.empty()) {
        work();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (Report& report : reports) {
        try {
            report.value = QvJsonValue::Parse(report.json);
            report.parsed = !report.json.empty();
        } catch (const QvCommandError&) {
            report.parsed = false;
        }
    }
}

class Collector {
public:
    explicit Collector(QvZipWriter& zip) : m_zip(zip) {}

    void Add(const std::wstring& name, const std::string& bytes, const std::wstring& what,
             const std::wstring& note = L"", const FILETIME* modified = nullptr) {
        if (modified != nullptr) {
            m_zip.Add(QvToUtf8(name), bytes, *modified);
        } else {
            m_zip.Add(QvToUtf8(name), bytes);
        }
        QvJson entry;
        entry.Add("name", name).Add("bytes", static_cast<int64_t>(bytes.size())).Add("what", what);
        if (!note.empty()) {
            entry.Add("note", note);
        }
        m_entries.push_back(entry);
    }
    void Add(const std::wstring& name, const QvJson& json, const std::wstring& what) {
        Add(name, QvToUtf8(json.Text()), what);
    }
    void Missing(const std::wstring& what, const std::wstring& why) {
        m_missing.push_back(QvJson().Add("what", what).Add("why", why));
        m_missingLines.push_back(what + L": " + why);
    }

    const std::vector<QvJson>& Entries() const { return m_entries; }
    const std::vector<QvJson>& MissingList() const { return m_missing; }
    const std::vector<std::wstring>& MissingLines() const { return m_missingLines; }

private:
    QvZipWriter& m_zip;
    std::vector<QvJson> m_entries;
    std::vector<QvJson> m_missing;
    std::vector<std::wstring> m_missingLines;
};

// diagnose/<printer>.json for every report, as "qvhost diagnose --json" prints
// it, and printers.json: each printer's driver, interface and DAL module.
std::vector<QvJson> AddReports(Collector& collect, const std::vector<Report>& reports) {
    std::vector<QvJson> printers;
    std::vector<std::wstring> used;
    for (const Report& report : reports) {
        QvJson printer;
        printer.Add("name", report.printer);
        if (!report.parsed) {
            const std::wstring why =
                report.json.empty() ? L"the DLL gave no report (" + ErrorText(report.error) + L")"
                                    : L"the DLL's report is not JSON";
            collect.Missing(L"diagnose of printer '" + report.printer + L"'", why);
            printers.push_back(printer.Add("error", why));
            continue;
        }
        std::wstring file = L"diagnose/" + SafeName(report.printer);
        for (int n = 2; std::count(used.begin(), used.end(), file) > 0; ++n) {
            file = L"diagnose/" + SafeName(report.printer) + L" (" + std::to_wstring(n) + L")";
        }
        used.push_back(file);
        const size_t open = report.json.find(L'{');
        collect.Add(file + L".json",
                    QvToUtf8(L"{\"command\":\"diagnose\"," + report.json.substr(open + 1)),
                    L"the DLL's report on printer '" + report.printer + L"'");
        const QvJsonValue& value = report.value;
        const QvJsonValue* monitoring = value.Find("monitoring");
        const QvJsonValue* gateCode = Member(monitoring, "gateCode");
        const QvJsonValue* dal = value.Find("dal");
        printer.Add("driver", TextAt(value.Find("driver"), "name"))
            .Add("interface", TextAt(&value, "interface"))
            .Add("port", TextAt(&value, "port"))
            .Add("statusFrom",
                 gateCode != nullptr && gateCode->number == 0 ? L"printer" : L"spooler")
            .Add("gateCode", gateCode != nullptr ? gateCode->number : int64_t{-1})
            .Add("gate", TextAt(monitoring, "gate"))
            .Add("dalModule", TextAt(dal, "modulePath"))
            .Add("dalVersion", TextAt(dal, "version"));
        printers.push_back(printer);
    }
    return printers;
}

// The sections of a report that describe an event source (they carry
// "source"); the masks are the machine's, so any report's serve.
std::vector<const QvJsonValue*> LogSections(const std::vector<Report>& reports) {
    std::vector<const QvJsonValue*> sections;
    for (const Report& report : reports) {
        for (const auto& [key, value] : report.value.members) {
            if (value.kind == QvJsonValue::kObject && value.Find("source") != nullptr) {
                sections.push_back(&value);
            }
        }
        if (!sections.empty()) {
            break;
        }
    }
    return sections;
}

QvJson FileLimit() {
    DWORD value = 0;
    DWORD bytes = sizeof value;
    DWORD type = 0;
    const LONG result = RegGetValueW(HKEY_LOCAL_MACHINE, kDriversKey, kFileLimitValue, RRF_RT_ANY,
                                     &type, &value, &bytes);
    QvJson json;
    json.Add("value", std::wstring(L"HKEY_LOCAL_MACHINE\\") + kDriversKey + L", value \"" +
                          kFileLimitValue + L"\" (REG_DWORD, bytes)");
    if (result == ERROR_SUCCESS && type == REG_DWORD) {
        return json.Add("bytes", static_cast<int64_t>(value)).Add("from", L"registry");
    }
    const std::wstring from = result == ERROR_FILE_NOT_FOUND
                                  ? L"default: the value is not set"
                                  : L"default: the value is unreadable or not a REG_DWORD (" +
                                        ErrorText(static_cast<DWORD>(result)) + L")";
    return json.Add("bytes", kDefaultFileLimit).Add("from", from);
}

// event-sources.json, and every file log with its rolled copy: the sources'
// own files first, then whatever else lies in the log folder.
void AddLogs(Collector& collect, const std::vector<Report>& reports) {
    std::vector<QvJson> sources;
    std::vector<std::wstring> paths;
    std::vector<bool> fileLogOn;
    for (const QvJsonValue* section : LogSections(reports)) {
        QvJson source;
        for (const char* key : {"source", "mask", "maskHex", "fileLog", "maskValue", "filePath"}) {
            const QvJsonValue* value = section->Find(key);
            if (value != nullptr && value->kind == QvJsonValue::kNumber) {
                source.Add(key, value->number);
            } else if (value != nullptr && value->kind == QvJsonValue::kBool) {
                source.Add(key, value->flag);
            } else if (value != nullptr) {
                source.Add(key, value->Line());
            }
        }
        std::vector<std::wstring> names;
        if (const QvJsonValue* maskNames = section->Find("maskNames")) {
            for (const QvJsonValue& item : maskNames->items) {
                names.push_back(item.text);
            }
        }
        sources.push_back(source.Add("maskNames", names));
        const std::wstring path = TextAt(section, "filePath");
        const QvJsonValue* fileLog = section->Find("fileLog");
        if (path.size() > 4 && SamePath(path.substr(path.size() - 4), L".txt")) {
            paths.push_back(path);
            paths.push_back(path.substr(0, path.size() - 4) + L".1.txt");
            const bool on = fileLog != nullptr && fileLog->flag;
            fileLogOn.insert(fileLogOn.end(), {on, on});
        }
    }
    QvJson events;
    events.Add("fileLimit", FileLimit()).Add("sources", sources);
    if (sources.empty()) {
        collect.Missing(L"event sources' masks",
                        L"no printer's report to read them from (they are read through "
                        L"QVDI_DiagnosePrinter)");
    }
    collect.Add(L"event-sources.json", events,
                L"each event source's masks and the file-log size limit");

    const size_t known = paths.size();
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((std::wstring(kLogFolder) + L"*.txt").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring path = std::wstring(kLogFolder) + found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            std::none_of(paths.begin(), paths.end(),
                         [&](const std::wstring& p) { return SamePath(p, path); })) {
            paths.push_back(path);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    uint64_t budget = kLogBudget;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::wstring& path = paths[i];
        if (budget == 0) {
            collect.Missing(path, L"left out: the file logs already take " +
                                      std::to_wstring(kLogBudget / kMiB) + L" MiB");
            continue;
        }
        FileRead read = ReadTail(path, std::min(kMaxLogBytes, budget), true);
        if (read.error == ERROR_FILE_NOT_FOUND && i < known) {
            collect.Missing(path, fileLogOn[i] ? L"no such file"
                                               : L"no such file: the source's file log is off");
            continue;
        }
        if (read.error != 0) {
            collect.Missing(path, L"cannot read it (" + ErrorText(read.error) + L")");
            continue;
        }
        budget -= read.bytes.size();
        const std::wstring note = read.bytes.size() < read.size
                                      ? L"cut: the newest " + std::to_wstring(read.bytes.size()) +
                                            L" of " + std::to_wstring(read.size) + L" bytes"
                                      : L"";
        collect.Add(L"logs/" + FileNameOf(path), read.bytes, L"file log " + path, note,
                    &read.modified);
    }
}

std::wstring DumpFolder() {
    wchar_t folder[MAX_PATH] = {};
    // Without the create flag: collecting must not make the folder it reports on.
    const HRESULT result = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
    return SUCCEEDED(result) ? std::wstring(folder) + kDumpSubfolder : std::wstring();
}

bool IsDumpName(const std::wstring& name) {
    // "qvcrash_" + four digits + ".dmp", as the library numbers them.
    return name.size() == 16 && name.compare(0, 8, L"qvcrash_") == 0 &&
           SamePath(name.substr(12), L".dmp") &&
           std::all_of(name.begin() + 8, name.begin() + 12,
                       [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// dumps.json: each crash dump's name, size and time; with withNewest the
// newest dump itself.
void AddDumps(Collector& collect, bool withNewest) {
    const std::wstring folder = DumpFolder();
    std::vector<QvJson> dumps;
    std::wstring newest;
    FILETIME newestTime{};
    WIN32_FIND_DATAW found{};
    HANDLE search = folder.empty() ? INVALID_HANDLE_VALUE
                                   : FindFirstFileW((folder + L"qvcrash_*.dmp").c_str(), &found);
    const DWORD error = search == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (!IsDumpName(found.cFileName)) {
            continue;
        }
        const uint64_t size =
            (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        dumps.push_back(QvJson()
                            .Add("name", std::wstring(found.cFileName))
                            .Add("bytes", static_cast<int64_t>(size))
                            .Add("modified", IsoTime(found.ftLastWriteTime)));
        if (newest.empty() || CompareFileTime(&found.ftLastWriteTime, &newestTime) > 0) {
            newest = found.cFileName;
            newestTime = found.ftLastWriteTime;
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    } else if (folder.empty()) {
        collect.Missing(L"crash dumps", L"the common application-data folder has no path");
    } else if (error != ERROR_FILE_NOT_FOUND) {
        collect.Missing(L"crash dumps in " + folder,
                        error == ERROR_PATH_NOT_FOUND
                            ? L"no such folder: no dump was ever written on this computer"
                            : L"cannot list them (" + ErrorText(error) + L")");
    }
    collect.Add(L"dumps.json", QvJson().Add("folder", folder).Add("dumps", dumps),
                L"the crash dump files: name, size, time");
    if (!withNewest) {
        return;
    }
    if (newest.empty()) {
        collect.Missing(L"the newest crash dump", L"there is none");
        return;
    }
    const FileRead read = ReadTail(folder + newest, kMaxDumpBytes, false);
    if (read.error != 0 || read.bytes.size() < read.size) {
        collect.Missing(folder + newest, read.error != 0
                                             ? L"cannot read it (" + ErrorText(read.error) + L")"
                                             : L"left out: larger than " +
                                                   std::to_wstring(kMaxDumpBytes / kMiB) + L" MiB");
        return;
    }
    collect.Add(L"dumps/" + newest, read.bytes, L"the newest crash dump", L"", &read.modified);
}

int RunCollect(QvHost& host, QvArgs& args) {
    std::wstring only;
    const bool onePrinter = args.TakeOption(L"printer", only);
    const bool withDumps = args.TakeFlag(L"dumps");
    const std::wstring path = args.Finish(1, 1)[0];
    if (onePrinter && only.empty()) {
        throw QvUsageError("the printer's name is empty");
    }
    FILETIME started{};
    GetSystemTimeAsFileTime(&started);
    QvZipWriter zip(path);
    Collector collect(zip);

    QvJson library;
    std::vector<Report> reports;
    try {
        const std::wstring dll = host.LibraryPath();
        library.Add("path", dll);
        const QvFileVersion version = QvReadFileVersion(dll);
        library.Add("fileVersion", version.file).Add("productVersion", version.product);
    } catch (const QvCommandError& error) {
        collect.Missing(L"the library's version", QvFromUtf8(error.what()));
    }
    try {
        auto diagnose = host.Export<QV_PFN_QVDI_DIAGNOSE_PRINTER>("QVDI_DiagnosePrinter");
        for (const std::wstring& name :
             onePrinter ? std::vector<std::wstring>{only} : QvPrinterNames()) {
            reports.emplace_back().printer = name;
        }
        DiagnoseAll(diagnose, reports);
    } catch (const QvCommandError& error) {
        collect.Missing(L"the printers' reports", QvFromUtf8(error.what()));
    }

    const std::vector<QvJson> printers = AddReports(collect, reports);
    collect.Add(
        L"printers.json",
        QvJson().Add("count", static_cast<int64_t>(printers.size())).Add("printers", printers),
        L"the printers, their drivers, interfaces and DAL modules");
    std::vector<QvJson> modules;
    for (const Report& report : reports) {
        if (const QvJsonValue* dal = report.parsed ? report.value.Find("dal") : nullptr) {
            modules.push_back(QvJson()
                                  .Add("printer", report.printer)
                                  .Add("modulePath", TextAt(dal, "modulePath"))
                                  .Add("version", TextAt(dal, "version")));
        }
    }
    collect.Add(L"system.json",
                QvJson()
                    .Add("windows", WindowsVersion())
                    .Add("library", library)
                    .Add("dalModules", modules)
                    .Add("collected", IsoTime(started)),
                L"the Windows version, the library's and the DAL modules' versions");
    AddLogs(collect, reports);
    AddDumps(collect, withDumps);

    QvJson manifest(L"collect");
    manifest.Add("created", IsoTime(started))
        .Add("printer", onePrinter ? std::optional<std::wstring>(only) : std::nullopt)
        .Add("dumps", withDumps)
        .Add("limits", QvJson()
                           .Add("logBytesEach", static_cast<int64_t>(kMaxLogBytes))
                           .Add("logBytesAll", static_cast<int64_t>(kLogBudget))
                           .Add("dumpBytes", static_cast<int64_t>(kMaxDumpBytes)))
        .Add("entries", collect.Entries())
        .Add("missing", collect.MissingList());
    zip.Add("manifest.json", QvToUtf8(manifest.Text()));
    zip.Finish();

    if (host.Json()) {
        host.PrintJson(QvJson(L"collect")
                           .Add("path", path)
                           .Add("bytes", static_cast<int64_t>(zip.Size()))
                           .Add("entries", static_cast<int64_t>(zip.Count()))
                           .Add("missing", collect.MissingLines()));
        return kQvExitOk;
    }
    host.Print(L"wrote " + path + L": " + std::to_wstring(zip.Count()) + L" entries, " +
               std::to_wstring(zip.Size()) + L" bytes");
    for (const std::wstring& line : collect.MissingLines()) {
        host.Print(L"  not collected: " + line);
    }
    return kQvExitOk;
}

const QvCommand kCommands[] = {
    {L"collect", L"FILE.zip [--printer NAME] [--dumps]",
     L"one zip for support: every printer's report, versions, masks, file logs, crash dumps",
     L"\n"
     L"Writes FILE.zip (replacing it; written beside it first, so a run that fails\n"
     L"leaves no half zip):\n"
     L"  manifest.json       what was collected, and what could not be read and why\n"
     L"  diagnose/P.json     \"qvhost diagnose --json\" of every printer (or of NAME)\n"
     L"  printers.json       the printers, drivers, interfaces, DAL modules\n"
     L"  system.json         Windows version, the DLL's and the DAL modules' versions\n"
     L"  event-sources.json  each event source's mask, the file-log size limit\n"
     L"                      (\"DebugLogFileLimit\", default 8 MiB)\n"
     L"  logs/*.txt          the file logs in C:\\Log Files and their rolled copies\n"
     L"                      (<source>.1.txt): each its newest 4 MiB, 24 MiB in all\n"
     L"  dumps.json          the crash dumps (qvcrash_NNNN.dmp): name, size, time\n"
     L"  dumps/*.dmp         with --dumps, the newest dump itself (up to 1 GiB)\n"
     L"Without --dumps the zip stays under 32 MiB. The printers are asked eight at\n"
     L"a time, so printers that are switched off cost one network bound (each\n"
     L"printer's \"Connection Timeout\" times its retries + 2), not one each.\n"
     L"Exit code 0 once the zip is written, whatever could not be read; 4 when the\n"
     L"zip cannot be written.",
     &RunCollect},
};

}  // namespace

const QvCommandGroup kQvCollectCommands = {kCommands, sizeof kCommands / sizeof kCommands[0]};
