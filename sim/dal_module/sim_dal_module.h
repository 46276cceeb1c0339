#pragma once

#include <string_view>

// The simulated printer's DAL module: what tests and the demo rely on.
//
// The module keeps each printer's settings as "name=value" lines: in memory
// per DAL handle, saved to <temp folder>\qvsimdal-<printer>.settings by
// DAL_Settings_Save and read from there by DAL_Printer_Open (the defaults
// when there is no file). Export writes the lines to a file, Import reads
// them from one, Reset restores the defaults. As a driver's module does, Import
// refuses a file it cannot read (FALSE, the file system's error) or one that is
// not settings text (FALSE, ERROR_INVALID_DATA), and keeps what it had; Export
// and Save give FALSE with the file system's error for a file they cannot
// write.
//
// When the environment variable kLogVariable names a file, every export
// appends one UTF-16LE line to it as it is entered:
//     <process id> TAB <"in-process" or "proxy"> TAB <export> [TAB <argument>]... CRLF
// where a DAL handle appears as its printer's name, a text as it is, a
// number in decimal and the flags in hex ("0x" and upper-case digits). The
// proxy process inherits the variable from its host, so both sides write to
// the same file.

namespace QvSimDal {

constexpr const wchar_t* kLogVariable = L"QV_SIM_DAL_LOG";
// "exit": DAL_Proxy returns at once; "stall": it never connects.
constexpr const wchar_t* kProxyFaultVariable = L"QV_SIM_DAL_PROXY_FAULT";

constexpr const char* kDefaultSettings = "Darkness=15\r\nSpeed=4\r\nMedia=Labels\r\n";

// Action numbers and their flag words (0x1 supported, 0x2 user interface).
constexpr int kActionPrintConfiguration = 100;  // flags 0x1: no user interface
constexpr int kActionCalibrate = 101;           // flags 0x3: has a user interface
constexpr int kActionResetPrinter = 102;        // flags 0x31
constexpr int kActionHighFlag = 103;            // flags 0x80000003 (bit 31 set)
constexpr int kActionCrash = 9001;              // flags 0x1: writes through a null pointer
constexpr int kActionHang = 9002;               // flags 0x1: never returns
// A module that lets a C++ exception escape, as one built with exceptions may:
constexpr int kActionThrow = 9003;         // flags 0x1: the action throws
constexpr int kActionThrowOnClose = 9004;  // flags 0x1: DAL_Printer_Close of the handle throws
constexpr int kActionSleepBase = 10000;    // 10000 + n: sleeps n ms, then succeeds
// Any other action: flags 0, the action reports false.

// Settings text: at least one "name=value" line with a name, lines ended by
// CRLF or LF, blank lines between them allowed.
inline bool IsSettingsText(std::string_view text) {
    bool any = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == 0 || equals == std::string_view::npos) {
            return false;
        }
        any = true;
    }
    return any;
}

}  // namespace QvSimDal
