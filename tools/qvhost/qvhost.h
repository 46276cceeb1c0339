#pragma once

// qvhost: a host program for QuorvelDriverUtility.dll. It loads the DLL the way
// a real host does (LoadLibrary of the DLL beside the program, GetProcAddress by
// decorated name, SysFreeString of every text result) and offers the exports as
// subcommands.
//
// Adding commands: write tools/qvhost/<family>_commands.cpp (for example
// printer_commands.cpp) defining a QvCommandGroup with its commands, declare it
// below beside kQvRfidCommands and add it to kQvCommandGroups. A command reads
// its arguments from QvArgs, calls the DLL through QvHost::Export, prints with
// QvHost::Print or QvHost::PrintJson, and returns an exit code; it throws
// QvUsageError for a bad command line. The main program handles --help,
// --json, the errors and the exit code.

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Exit codes, for scripts.
enum QvExitCode : int {
    kQvExitOk = 0,        // the command ran and printed its result
    kQvExitNoResult = 1,  // the library gave no result (a null BSTR, false, ...)
    kQvExitUsage = 2,     // bad command line: unknown command or option, bad number
    kQvExitLibrary = 3,   // the DLL or one of its exports could not be loaded
    kQvExitFailure = 4,   // a Windows call the command needs failed (opening a printer, ...)
};

// A bad command line; the message says what is wrong, without the program name.
class QvUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure to report with an exit code, for example kQvExitFailure.
class QvCommandError : public std::runtime_error {
public:
    QvCommandError(int exitCode, const std::string& message)
        : std::runtime_error(message), m_exitCode(exitCode) {}
    int ExitCode() const { return m_exitCode; }

private:
    int m_exitCode;
};

// The arguments after the command name. Options are "--name value" or
// "--name=value"; "--" ends the options. Each Take removes what it read, so
// Finish can reject whatever no one asked for.
class QvArgs {
public:
    explicit QvArgs(std::vector<std::wstring> args) : m_args(std::move(args)) {}

    // The value of --name; false when absent. Throws QvUsageError when the
    // option has no value or is given twice.
    bool TakeOption(const wchar_t* name, std::wstring& value);
    // The value of --name as a 32-bit number (decimal, or 0x hexadecimal);
    // false when absent. Throws QvUsageError when it is not a number.
    bool TakeInt(const wchar_t* name, int32_t& value);
    // Whether --name is present (it takes no value).
    bool TakeFlag(const wchar_t* name);
    // A 32-bit number written in decimal or as 0x hexadecimal, with an optional
    // sign; false for anything else.
    static bool ParseInt32(const std::wstring& text, int32_t& value);
    // ParseInt32, throwing QvUsageError "<wants>, not '<text>'" for anything else.
    static int32_t RequireInt32(const std::wstring& text, const std::string& wants);
    // The remaining positional arguments, between min and max of them. Throws
    // QvUsageError for an unknown option or a wrong count.
    std::vector<std::wstring> Finish(size_t min, size_t max);
    // The printer a command names, as --printer NAME or (when that is absent)
    // as the first positional argument, which older command lines use; the
    // other positional arguments (between min and max of them) go to rest.
    // Throws QvUsageError as Finish, and when no printer is named.
    std::wstring FinishWithPrinter(size_t min, size_t max, std::vector<std::wstring>& rest);

private:
    std::vector<std::wstring> m_args;
};

// Minimal JSON object writer: keys in the order added, text escaped, numbers
// as JSON numbers. Every object a command prints starts with "command": its
// name; the objects nested in it are made with the default constructor.
class QvJson {
public:
    QvJson() = default;
    explicit QvJson(const wchar_t* command) { Add("command", command); }
    QvJson& Add(const char* key, const wchar_t* text) { return Add(key, std::wstring(text)); }
    QvJson& Add(const char* key, const std::wstring& text);
    QvJson& Add(const char* key, const std::optional<std::wstring>& textOrNull);
    QvJson& Add(const char* key, int64_t number);
    QvJson& Add(const char* key, bool value);
    QvJson& AddNull(const char* key);
    QvJson& Add(const char* key, const QvJson& object);
    QvJson& Add(const char* key, const std::vector<QvJson>& objects);
    QvJson& Add(const char* key, const std::vector<std::wstring>& texts);
    QvJson& Add(const char* key, const std::vector<int64_t>& numbers);
    std::wstring Text() const { return L"{" + m_body + L"}"; }
    // text as a JSON string, quotes included.
    static std::wstring Quote(const std::wstring& text);

private:
    void Key(const char* key);
    std::wstring m_body;
};

// A JSON value as read from text (the reports the DLL gives as JSON): null,
// true or false, a number (whole numbers also as number), text, an array, or
// an object whose members keep their order.
struct QvJsonValue {
    enum Kind { kNull, kBool, kNumber, kText, kArray, kObject };
    Kind kind = kNull;
    bool flag = false;
    int64_t number = 0;
    std::wstring text;  // a text's value, or a number as written
    std::vector<QvJsonValue> items;
    std::vector<std::pair<std::string, QvJsonValue>> members;

    // The member of that key; null when this is no object or has none.
    const QvJsonValue* Find(const char* key) const;
    // The value as one line: text as it is, numbers as written, yes or no,
    // "(none)" for null, an array's items joined by ", ", "{...}" for an object.
    std::wstring Line() const;
    // One JSON value, white space around it allowed. Throws QvCommandError
    // (kQvExitFailure) for anything else.
    static QvJsonValue Parse(const std::wstring& text);
};

// What a command gets from the program: the DLL and the output.
class QvHost {
public:
    explicit QvHost(bool json) : m_json(json) {}
    QvHost(const QvHost&) = delete;
    QvHost& operator=(const QvHost&) = delete;
    ~QvHost();

    // Whether --json was given: print one JSON object instead of plain text.
    bool Json() const { return m_json; }

    // The export of that decorated name (QV_EXPORT_* of the public header),
    // loading the DLL on first use. Throws QvCommandError with kQvExitLibrary
    // when the DLL or the export is missing.
    template <typename Function>
    Function Export(const char* decoratedName) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(Resolve(decoratedName)));
    }

    // The full path of the DLL as loaded, loading it first (the errors of Export).
    std::wstring LibraryPath();

    // A text result taken over from the DLL: its text, the BSTR freed; nothing
    // for a null result.
    static std::optional<std::wstring> TakeBstr(BSTR text);

    // One line on standard output (UTF-8 when redirected).
    void Print(const std::wstring& line);
    void PrintJson(const QvJson& object) { Print(object.Text()); }

private:
    FARPROC Resolve(const char* decoratedName);
    HMODULE Library();

    bool m_json;
    HMODULE m_module = nullptr;
};

// One line on standard error, as "qvhost: text".
void QvPrintError(const std::wstring& text);

// Whether the program should stop (Ctrl+C, Ctrl+Break or the console
// closing), for commands that run until then; the console control handler
// sets it.
bool QvStopRequested();

// A 32-bit value as 0x and eight upper-case hexadecimal digits.
std::wstring QvHex32(uint32_t value);

// Text for messages and JSON: UTF-8 in a std::string and back.
std::string QvToUtf8(const std::wstring& text);
std::wstring QvFromUtf8(const std::string& text);

// The file and product versions of a module's version resource, dotted
// ("1.0.0.0"), read as data. Throws QvCommandError (kQvExitFailure) when the
// file has none.
struct QvFileVersion {
    std::wstring file;
    std::wstring product;
};
QvFileVersion QvReadFileVersion(const std::wstring& path);

// The printers the spooler lists (this computer's and its connections).
// Throws QvCommandError (kQvExitFailure) when the spooler cannot list them.
std::vector<std::wstring> QvPrinterNames();

// One subcommand.
struct QvCommand {
    const wchar_t* name;      // as typed: "rfid-epc"
    const wchar_t* synopsis;  // arguments after the name: "--layout L --values V [--mode N]"
    const wchar_t* summary;   // one line for the command list
    const wchar_t* details;   // further lines for "qvhost <command> --help"; may be null
    int (*run)(QvHost& host, QvArgs& args);
};

// The commands of one file.
struct QvCommandGroup {
    const QvCommand* commands;
    size_t count;
};

// Every group of the program, in the order "qvhost --help" lists them.
extern const QvCommandGroup kQvRfidCommands;  // rfid_commands.cpp

extern const QvCommandGroup kQvPrinterCommands;   // printer_commands.cpp
extern const QvCommandGroup kQvXpmlCommands;      // xpml_commands.cpp
extern const QvCommandGroup kQvAdvancedCommands;  // advanced_commands.cpp
extern const QvCommandGroup kQvSupportCommands;   // support_commands.cpp
extern const QvCommandGroup kQvCollectCommands;   // collect_commands.cpp
extern const QvCommandGroup kQvWatchCommands;     // watch_commands.cpp
inline const QvCommandGroup* const kQvCommandGroups[] = {
    &kQvRfidCommands,    &kQvPrinterCommands, &kQvAdvancedCommands, &kQvXpmlCommands,
    &kQvSupportCommands, &kQvWatchCommands,   &kQvCollectCommands};
