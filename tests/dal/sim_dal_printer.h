#pragma once

// A real Wine printer whose driver carries one of the simulated DAL modules
// (sim/dal_module): the variant is copied into the driver directory under a
// name unique to the test, as the 64-bit twin (".d64") of the "DAL Interface"
// value's ".dll". Every call the module receives, in this process or in a
// proxy process, is read back from its call log.

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
    ~SimDalPrinter();  // removes the copy; not copyable, as WinePrinter is not

    bool Ok() const { return m_ok; }
    const std::wstring& Error() const { return m_error; }
    const WinePrinter& Printer() const { return m_printer; }
    OPrinterHandle Open() const { return m_printer.Open(); }
    // Where GetDalModulePath must find the module.
    const std::wstring& ModulePath() const { return m_modulePath; }
    // "Settings:DAL/Isolation Mode" of the printer.
    bool SetIsolation(DWORD mode) const;

    static void ClearCalls();
    // The calls logged so far without process id and side: the export and
    // its arguments, joined by blanks.
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
