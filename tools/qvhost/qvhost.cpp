#include "tools/qvhost/qvhost.h"

#include <shellapi.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <cwctype>

namespace {

constexpr wchar_t kDllName[] = L"QuorvelDriverUtility.dll";

void WriteLine(DWORD which, const std::wstring& line) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    std::wstring text = line + L"\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Redirected: UTF-8, whatever the code pages say.
    std::string utf8 = QvToUtf8(text);
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : L"";
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
        message.pop_back();
    }
    return (message.empty() ? L"" : message + L" ") + L"(error " + std::to_wstring(error) + L")";
}

// The full path of a module (null: the program); empty with *error set when
// Windows cannot name it.
std::wstring ModulePath(HMODULE module, DWORD* error) {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            *error = GetLastError();
            return L"";
        }
        // A full buffer means the name was cut: only a larger one tells.
        if (length < path.size()) {
            return std::wstring(path.data(), length);
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ProgramFolder() {
    DWORD error = 0;
    std::wstring full = ModulePath(nullptr, &error);
    return full.substr(0, full.find_last_of(L"\\/") + 1);
}

bool IsOptionName(const std::wstring& arg, const wchar_t* name) {
    return arg == std::wstring(L"--") + name;
}

bool IsOptionWithValue(const std::wstring& arg, const wchar_t* name) {
    std::wstring prefix = std::wstring(L"--") + name + L"=";
    return arg.compare(0, prefix.size(), prefix) == 0;
}

template <typename Visit>
void ForEachCommand(Visit visit) {
    for (const QvCommandGroup* group : kQvCommandGroups) {
        for (size_t i = 0; i < group->count; ++i) {
            visit(group->commands[i]);
        }
    }
}

const QvCommand* FindCommand(const std::wstring& name) {
    const QvCommand* found = nullptr;
    ForEachCommand([&](const QvCommand& command) {
        found = found == nullptr && name == command.name ? &command : found;
    });
    return found;
}

std::wstring Dotted(DWORD high, DWORD low) {
    return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
           std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
}

}  // namespace

// GetFileVersionInfo reads the resource as data: the size asked up front is
// the size needed.
QvFileVersion QvReadFileVersion(const std::wstring& path) {
    DWORD handle = 0;
    std::vector<uint8_t> block(GetFileVersionInfoSizeW(path.c_str(), &handle));
    DWORD error = GetLastError();
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (block.empty() ||
        !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data())) {
        error = block.empty() ? error : GetLastError();
        throw QvCommandError(kQvExitFailure, "cannot read the version of " + QvToUtf8(path) + ": " +
                                                 QvToUtf8(SystemMessage(error)));
    }
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr || length < sizeof *fixed) {
        throw QvCommandError(kQvExitFailure, QvToUtf8(path) + " has no fixed version");
    }
    return {Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS),
            Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS)};
}

namespace {

// The version resource of the DLL this program loads, as installers and
// support scripts read it: which build a customer has.
int PrintVersion(QvHost& host) {
    std::wstring path = host.LibraryPath();
    const QvFileVersion version = QvReadFileVersion(path);
    const std::wstring& file = version.file;
    const std::wstring& product = version.product;
    if (host.Json()) {
        host.PrintJson(QvJson(L"--version")
                           .Add("path", path)
                           .Add("fileVersion", file)
                           .Add("productVersion", product));
    } else {
        host.Print(std::wstring(kDllName) + L" file version " + file + L", product version " +
                   product);
    }
    return kQvExitOk;
}

void PrintUsage(QvHost& host) {
    host.Print(
        L"usage: qvhost [--json] <command> [arguments]\n"
        L"       qvhost <command> --help, or qvhost help <command>\n"
        L"\n"
        L"Loads QuorvelDriverUtility.dll from the folder of qvhost.exe and calls its exports.\n"
        L"\n"
        L"commands:");
    ForEachCommand([&](const QvCommand& command) {
        std::wstring name = command.name;
        name.resize(name.size() < 14 ? 14 : name.size() + 1, L' ');
        host.Print(L"  " + name + command.summary);
    });
    host.Print(
        L"\n"
        L"options:\n"
        L"  --json        print one JSON object instead of plain text, numbers as JSON\n"
        L"                numbers; a failure (exit code 2, 3 or 4) prints {\"command\": ...,\n"
        L"                \"error\": \"...\", \"exitCode\": N} (and its line on stderr)\n"
        L"  --help, -h    this text; before a command, or as --help after it, the command's own\n"
        L"  --version     the file and product version of the DLL qvhost loads\n"
        L"\n"
        L"exit codes: 0 result printed, 1 no result (null from the library), 2 bad command line,\n"
        L"            3 the DLL or an export could not be loaded, 4 a Windows call failed");
}

void PrintCommandHelp(QvHost& host, const QvCommand& command) {
    host.Print(std::wstring(L"usage: qvhost [--json] ") + command.name + L" " + command.synopsis);
    host.Print(L"");
    host.Print(command.summary);
    if (command.details != nullptr) {
        host.Print(command.details);
    }
}

bool IsHelp(const std::wstring& arg) {
    return arg == L"--help" || arg == L"-h" || arg == L"/?";
}

std::atomic<bool> g_stopRequested{false};

BOOL WINAPI OnConsoleControl(DWORD) {
    g_stopRequested = true;
    return TRUE;  // handled: the command ends its loop and the program its output
}

// A failure of command: its line on stderr, and with --json the same as one
// object on stdout, so that a script reading stdout sees it too.
int Fail(bool json, const std::wstring& command, const std::wstring& message, int exitCode) {
    QvPrintError((command.empty() ? L"" : command + L": ") + message);
    if (json) {
        QvJson object;
        if (command.empty()) {
            object.AddNull("command");
        } else {
            object.Add("command", command);
        }
        QvHost(true).PrintJson(
            object.Add("error", message).Add("exitCode", static_cast<int64_t>(exitCode)));
    }
    return exitCode;
}

}  // namespace

bool QvArgs::TakeOption(const wchar_t* name, std::wstring& value) {
    bool found = false;
    for (size_t i = 0; i < m_args.size() && m_args[i] != L"--";) {
        const std::wstring& arg = m_args[i];
        size_t count = 0;
        std::wstring text;
        if (IsOptionName(arg, name)) {
            if (i + 1 >= m_args.size()) {
                throw QvUsageError("--" + QvToUtf8(name) + " needs a value");
            }
            text = m_args[i + 1];
            count = 2;
        } else if (IsOptionWithValue(arg, name)) {
            text = arg.substr(std::wcslen(name) + 3);
            count = 1;
        } else {
            ++i;
            continue;
        }
        if (found) {
            throw QvUsageError("--" + QvToUtf8(name) + " is given twice");
        }
        found = true;
        value = text;
        m_args.erase(m_args.begin() + static_cast<ptrdiff_t>(i),
                     m_args.begin() + static_cast<ptrdiff_t>(i + count));
    }
    return found;
}

bool QvArgs::ParseInt32(const std::wstring& text, int32_t& value) {
    size_t digits = (!text.empty() && (text[0] == L'-' || text[0] == L'+')) ? 1 : 0;
    bool hex = text.compare(digits, 2, L"0x") == 0 || text.compare(digits, 2, L"0X") == 0;
    // wcstoll would skip white space and read "010" as octal; neither is wanted.
    if (text.size() <= digits + (hex ? 2 : 0) || std::iswspace(text[0])) {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    long long number = std::wcstoll(text.c_str(), &end, hex ? 16 : 10);
    if (end == nullptr || *end != L'\0' || errno == ERANGE || number < INT32_MIN ||
        number > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(number);
    return true;
}

int32_t QvArgs::RequireInt32(const std::wstring& text, const std::string& wants) {
    int32_t value = 0;
    if (!ParseInt32(text, value)) {
        throw QvUsageError(wants + ", not '" + QvToUtf8(text) + "'");
    }
    return value;
}

bool QvArgs::TakeInt(const wchar_t* name, int32_t& value) {
    std::wstring text;
    if (!TakeOption(name, text)) {
        return false;
    }
    value = RequireInt32(text, "--" + QvToUtf8(name) + " wants a 32-bit number");
    return true;
}

bool QvArgs::TakeFlag(const wchar_t* name) {
    for (size_t i = 0; i < m_args.size() && m_args[i] != L"--"; ++i) {
        if (IsOptionName(m_args[i], name)) {
            m_args.erase(m_args.begin() + static_cast<ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

std::wstring QvArgs::FinishWithPrinter(size_t min, size_t max, std::vector<std::wstring>& rest) {
    std::wstring name;
    if (TakeOption(L"printer", name)) {
        rest = Finish(min, max);
    } else {
        rest = Finish(min + 1, max + 1);
        name = rest[0];
        rest.erase(rest.begin());
    }
    if (name.empty()) {
        throw QvUsageError("the printer's name is empty");
    }
    return name;
}

std::vector<std::wstring> QvArgs::Finish(size_t min, size_t max) {
    std::vector<std::wstring> positional;
    bool optionsEnded = false;
    for (const std::wstring& arg : m_args) {
        if (!optionsEnded && arg == L"--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-') {
            throw QvUsageError("unknown option " + QvToUtf8(arg));
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() < min) {
        throw QvUsageError(min == 1 && max == 1 ? "one argument is needed"
                                                : "arguments are missing");
    }
    if (positional.size() > max) {
        throw QvUsageError("unexpected argument '" + QvToUtf8(positional[max]) + "'");
    }
    return positional;
}

void QvJson::Key(const char* key) {
    if (!m_body.empty()) {
        m_body += L",";
    }
    m_body += L"\"" + QvFromUtf8(key) + L"\":";
}

std::wstring QvJson::Quote(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        static const struct {
            wchar_t c;
            const wchar_t* escape;
        } kEscapes[] = {
            {L'"', L"\\\""}, {L'\\', L"\\\\"}, {L'\n', L"\\n"}, {L'\r', L"\\r"}, {L'\t', L"\\t"}};
        const wchar_t* escape = nullptr;
        for (const auto& entry : kEscapes) {
            escape = entry.c == c ? entry.escape : escape;
        }
        wchar_t control[8];
        if (escape == nullptr && c < 0x20) {
            swprintf(control, 8, L"\\u%04x", static_cast<unsigned>(c));
            escape = control;
        }
        if (escape != nullptr) {
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + L"\"";
}

QvJson& QvJson::Add(const char* key, const std::wstring& text) {
    Key(key);
    m_body += Quote(text);
    return *this;
}

QvJson& QvJson::Add(const char* key, const std::optional<std::wstring>& textOrNull) {
    return textOrNull ? Add(key, *textOrNull) : AddNull(key);
}

QvJson& QvJson::Add(const char* key, int64_t number) {
    Key(key);
    m_body += std::to_wstring(number);
    return *this;
}

QvJson& QvJson::Add(const char* key, bool value) {
    Key(key);
    m_body += value ? L"true" : L"false";
    return *this;
}

QvJson& QvJson::AddNull(const char* key) {
    Key(key);
    m_body += L"null";
    return *this;
}

QvJson& QvJson::Add(const char* key, const QvJson& object) {
    Key(key);
    m_body += object.Text();
    return *this;
}

namespace {

template <typename Item, typename Render>
std::wstring JsonArray(const std::vector<Item>& items, Render render) {
    std::wstring text = L"[";
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? L"" : L",") + render(items[i]);
    }
    return text + L"]";
}

}  // namespace

QvJson& QvJson::Add(const char* key, const std::vector<QvJson>& objects) {
    Key(key);
    m_body += JsonArray(objects, [](const QvJson& object) { return object.Text(); });
    return *this;
}

QvJson& QvJson::Add(const char* key, const std::vector<std::wstring>& texts) {
    Key(key);
    m_body += JsonArray(texts, &QvJson::Quote);
    return *this;
}

QvJson& QvJson::Add(const char* key, const std::vector<int64_t>& numbers) {
    Key(key);
    m_body += JsonArray(numbers, [](int64_t number) { return std::to_wstring(number); });
    return *this;
}

namespace {

// Reads one JSON value; every fault throws the same QvCommandError.
class JsonReader {
public:
    explicit JsonReader(const std::wstring& text) : m_text(text) {}

    QvJsonValue Whole() {
        QvJsonValue value = Value();
        Skip();
        if (m_at != m_text.size()) {
            Fail();
        }
        return value;
    }

private:
    [[noreturn]] void Fail() const {
        throw QvCommandError(kQvExitFailure, "the DLL's report is not JSON (at character " +
                                                 std::to_string(m_at) + ")");
    }
    void Skip() {
        while (m_at < m_text.size() && std::iswspace(m_text[m_at])) {
            ++m_at;
        }
    }
    bool Take(wchar_t c) {
        Skip();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    void Expect(wchar_t c) {
        if (!Take(c)) {
            Fail();
        }
    }
    bool Literal(const wchar_t* word) {
        const size_t length = std::wcslen(word);
        if (m_text.compare(m_at, length, word) != 0) {
            return false;
        }
        m_at += length;
        return true;
    }
    std::wstring Text() {
        Expect(L'"');
        std::wstring text;
        while (m_at < m_text.size() && m_text[m_at] != L'"') {
            wchar_t c = m_text[m_at++];
            if (c == L'\\') {
                if (m_at >= m_text.size()) {
                    Fail();
                }
                static const wchar_t kFrom[] = L"\"\\/bfnrt";
                static const wchar_t kTo[] = L"\"\\/\b\f\n\r\t";
                const wchar_t escape = m_text[m_at++];
                const wchar_t* found = std::wcschr(kFrom, escape);
                if (escape == L'u' && m_at + 4 <= m_text.size()) {
                    c = static_cast<wchar_t>(
                        std::wcstoul(m_text.substr(m_at, 4).c_str(), nullptr, 16));
                    m_at += 4;
                } else if (found != nullptr && escape != L'\0') {
                    c = kTo[found - kFrom];
                } else {
                    Fail();
                }
            }
            text += c;
        }
        Expect(L'"');
        return text;
    }
    QvJsonValue Value() {
        Skip();
        QvJsonValue value;
        if (Take(L'{')) {
            value.kind = QvJsonValue::kObject;
            if (Take(L'}')) {
                return value;
            }
            do {
                Skip();
                std::string key = QvToUtf8(Text());
                Expect(L':');
                value.members.emplace_back(std::move(key), Value());
            } while (Take(L','));
            Expect(L'}');
        } else if (Take(L'[')) {
            value.kind = QvJsonValue::kArray;
            if (Take(L']')) {
                return value;
            }
            do {
                value.items.push_back(Value());
            } while (Take(L','));
            Expect(L']');
        } else if (m_at < m_text.size() && m_text[m_at] == L'"') {
            value.kind = QvJsonValue::kText;
            value.text = Text();
        } else if (Literal(L"true")) {
            value.kind = QvJsonValue::kBool;
            value.flag = true;
        } else if (Literal(L"false")) {
            value.kind = QvJsonValue::kBool;
        } else if (Literal(L"null")) {
            value.kind = QvJsonValue::kNull;
        } else {
            const size_t start = m_at;
            while (m_at < m_text.size() &&
                   std::wcschr(L"+-.eE0123456789", m_text[m_at]) != nullptr &&
                   m_text[m_at] != L'\0') {
                ++m_at;
            }
            if (m_at == start) {
                Fail();
            }
            value.kind = QvJsonValue::kNumber;
            value.text = m_text.substr(start, m_at - start);
            value.number = std::wcstoll(value.text.c_str(), nullptr, 10);
        }
        return value;
    }

    const std::wstring& m_text;
    size_t m_at = 0;
};

}  // namespace

QvJsonValue QvJsonValue::Parse(const std::wstring& text) {
    return JsonReader(text).Whole();
}

const QvJsonValue* QvJsonValue::Find(const char* key) const {
    for (const auto& member : members) {
        if (member.first == key) {
            return &member.second;
        }
    }
    return nullptr;
}

std::wstring QvJsonValue::Line() const {
    switch (kind) {
        case kNull:
            return L"(none)";
        case kBool:
            return flag ? L"yes" : L"no";
        case kArray: {
            std::wstring line;
            for (const QvJsonValue& item : items) {
                line += (line.empty() ? L"" : L", ") + item.Line();
            }
            return line;
        }
        case kObject:
            return L"{...}";
        default:
            return text;
    }
}

QvHost::~QvHost() {
    if (m_module != nullptr) {
        FreeLibrary(m_module);
    }
}

HMODULE QvHost::Library() {
    if (m_module == nullptr) {
        std::wstring path = ProgramFolder() + kDllName;
        m_module = LoadLibraryW(path.c_str());
        if (m_module == nullptr) {
            DWORD error = GetLastError();
            throw QvCommandError(kQvExitLibrary, "cannot load " + QvToUtf8(path) + ": " +
                                                     QvToUtf8(SystemMessage(error)));
        }
    }
    return m_module;
}

std::wstring QvHost::LibraryPath() {
    DWORD error = 0;
    std::wstring path = ModulePath(Library(), &error);
    if (path.empty()) {
        throw QvCommandError(kQvExitFailure,
                             "cannot name the loaded DLL: " + QvToUtf8(SystemMessage(error)));
    }
    return path;
}

FARPROC QvHost::Resolve(const char* decoratedName) {
    FARPROC function = GetProcAddress(Library(), decoratedName);
    if (function == nullptr) {
        throw QvCommandError(kQvExitLibrary,
                             std::string(QvToUtf8(kDllName)) + " does not export " + decoratedName);
    }
    return function;
}

std::optional<std::wstring> QvHost::TakeBstr(BSTR text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    std::wstring copy(text, SysStringLen(text));
    SysFreeString(text);
    return copy;
}

void QvHost::Print(const std::wstring& line) {
    WriteLine(STD_OUTPUT_HANDLE, line);
}

void QvPrintError(const std::wstring& text) {
    WriteLine(STD_ERROR_HANDLE, L"qvhost: " + text);
}

bool QvStopRequested() {
    // Installed on first use only: every other command keeps the default
    // handling, which ends the program at once.
    static const bool installed = SetConsoleCtrlHandler(&OnConsoleControl, TRUE) != FALSE;
    (void)installed;
    return g_stopRequested.load();
}

std::wstring QvHex32(uint32_t value) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string QvToUtf8(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(),
                            bytes, nullptr, nullptr);
    }
    return utf8;
}

std::wstring QvFromUtf8(const std::string& text) {
    int units =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), wide.data(),
                            units);
    }
    return wide;
}

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        return Fail(false, L"", L"cannot read the command line", kQvExitUsage);
    }
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);

    // --json and --help may stand before the command; after it they belong to
    // the command's arguments, read below.
    bool json = false;
    bool help = false;
    bool version = false;
    size_t first = 0;
    for (; first < args.size(); ++first) {
        if (args[first] == L"--json") {
            json = true;
        } else if (args[first] == L"--version") {
            version = true;
        } else if (IsHelp(args[first])) {
            help = true;
        } else {
            break;
        }
    }
    QvHost host(json);
    if (version) {
        try {
            return PrintVersion(host);
        } catch (const QvCommandError& error) {
            return Fail(json, L"--version", QvFromUtf8(error.what()), error.ExitCode());
        }
    }
    if (first == args.size()) {
        if (!help) {
            return Fail(json, L"", L"no command given (qvhost --help lists them)", kQvExitUsage);
        }
        PrintUsage(host);
        return kQvExitOk;
    }
    std::wstring name = args[first];
    if (name == L"help") {
        if (first + 1 == args.size()) {
            PrintUsage(host);
            return kQvExitOk;
        }
        const QvCommand* command = FindCommand(args[first + 1]);
        if (command == nullptr) {
            return Fail(json, L"help",
                        L"unknown command '" + args[first + 1] + L"' (qvhost --help lists them)",
                        kQvExitUsage);
        }
        PrintCommandHelp(host, *command);
        return kQvExitOk;
    }
    const QvCommand* command = FindCommand(name);
    if (command == nullptr) {
        return Fail(json, name, L"unknown command (qvhost --help lists them)", kQvExitUsage);
    }
    QvArgs commandArgs(
        std::vector<std::wstring>(args.begin() + static_cast<ptrdiff_t>(first) + 1, args.end()));
    if (help || commandArgs.TakeFlag(L"help")) {
        PrintCommandHelp(host, *command);
        return kQvExitOk;
    }
    json = json || commandArgs.TakeFlag(L"json");
    QvHost commandHost(json);
    try {
        return command->run(commandHost, commandArgs);
    } catch (const QvUsageError& error) {
        const int code = Fail(json, name, QvFromUtf8(error.what()), kQvExitUsage);
        QvPrintError(L"usage: qvhost " + name + L" " + command->synopsis);
        return code;
    } catch (const QvCommandError& error) {
        return Fail(json, name, QvFromUtf8(error.what()), error.ExitCode());
    } catch (const std::exception& error) {
        return Fail(json, name, QvFromUtf8(error.what()), kQvExitFailure);
    }
}
