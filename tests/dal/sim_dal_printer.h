#pragma once

// A real Wine printer whose driver carries a simulated DAL module as the ".d64"
// twin of its "DAL Interface" value; every call the module receives, in this
// process or in a proxy, is read back from its call log.

#include <windows.h>

#include <string>
#include <vector>

#include "core/handles.h"
#include "support/wine_printer.h"

namespace QvTest {

class SimDalPrinter {
public:
    // variant: the module's base name beside the test program ("qvsimdal").
    SimDalPrinter(const std::wstring& tag, const std::wstring& variant);
    ~SimDalPrinter();

    bool Ok() const { return m_ok; }
    const std::wstring& Error() const { return m_error; }
    const WinePrinter& Printer() const { return m_printer; }
    OPrinterHandle Open() const { return m_printer.Open(); }
    const std::wstring& ModulePath() const { return m_modulePath; }
    bool SetIsolation(DWORD mode) const;  // "Settings:DAL/Isolation Mode"

    static void ClearCalls();
    // Each call logged so far: the export and its arguments, joined by blanks.
    static std::vector<std::wstring> CallTexts();
    // The process id logged by the last call of that export, 0 if none.
    static DWORD LastProcessOf(const std::wstring& function);

private:
    WinePrinter m_printer;
    bool m_ok = false;
    std::wstring m_error;
    std::wstring m_modulePath;
};

// Whether the process has ended (or never was), waiting up to timeoutMs.
bool ProcessEnded(DWORD processId, DWORD timeoutMs);

}  // namespace QvTest
