#include "printer/terminal_session.h"

#include <winspool.h>

#include <string>
#include <vector>

#include "core/win_buffer.h"

namespace {

// The session names are read into buffers of this size first.
constexpr DWORD kSessionNameBytes = 520;

// A string value of the printer data, or false when it is absent.
bool ReadText(HANDLE printer, const wchar_t* name, OString& text) {
    std::vector<uint8_t> bytes;
    bool found = OQueryStatusBuffer(
        bytes,
        [&](uint8_t* data, DWORD size, DWORD* needed) {
            DWORD type = 0;
            return ::GetPrinterDataW(printer, const_cast<wchar_t*>(name), &type, data, size,
                                     needed);
        },
        nullptr, kSessionNameBytes);
    if (!found) {
        return false;
    }
    // The value need not end with a NUL; the count stops the text at its end.
    auto chars = static_cast<int32_t>(bytes.size() / sizeof(wchar_t));
    text = chars > 0 ? OString(reinterpret_cast<const wchar_t*>(bytes.data()), chars) : OString();
    return true;
}

bool WriteText(HANDLE printer, const wchar_t* name, const OString& text) {
    std::wstring value(text.GetWide());
    return ::SetPrinterDataW(
               printer, const_cast<wchar_t*>(name), REG_SZ, reinterpret_cast<BYTE*>(value.data()),
               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

bool SplitSessionPrinterName(const OString& name, OString& clientPrinterName, OString& clientName) {
    int32_t last = -1;
    int32_t before = -1;
    const wchar_t* text = name.GetWide();
    for (int32_t i = OString::StrLen(text) - 1; i >= 0; --i) {
        if (text[i] != L'/') {
            continue;
        }
        if (last < 0) {
            last = i;
        } else {
            before = i;
            break;
        }
    }
    if (last <= 0 || before <= 0) {
        return false;
    }
    clientPrinterName = OString(text, before);
    clientName = OString(text + before + 1, last - before - 1);
    return true;
}

TerminalSession LookupTerminalSession(HANDLE printer) {
    TerminalSession session;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!TerminalSessionApi::Current().getVersionEx(&version) ||
        version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        return session;
    }

    DWORD id = 0;
    DWORD type = 0;
    DWORD needed = 0;
    if (::GetPrinterDataW(printer, const_cast<wchar_t*>(L"TSSessionID"), &type,
                          reinterpret_cast<BYTE*>(&id), sizeof id, &needed) != ERROR_SUCCESS) {
        return session;
    }
    session.sessionId = id;

    OString text;
    if (ReadText(printer, L"ClientName", text)) {
        session.clientName = text;
    }
    if (ReadText(printer, L"PrinterName", text)) {
        session.clientPrinterName = text;
    }
    if (!session.clientName.IsEmpty() && !session.clientPrinterName.IsEmpty()) {
        return session;
    }
    if (version.dwMajorVersion != 5 || version.dwMinorVersion != 0) {
        return session;
    }

    // Windows 2000 names a redirected printer "<client printer>/<client>/<session>"
    // and does not always store the two names; derive them and store them for
    // the next reader.
    std::vector<uint8_t> buffer;
    bool read = OQueryBoolBuffer(buffer, [&](uint8_t* data, DWORD size, DWORD* neededBytes) {
        return ::GetPrinterW(printer, 1, data, size, neededBytes);
    });
    if (!read || buffer.size() < sizeof(PRINTER_INFO_1W)) {
        return session;
    }
    const auto* info = reinterpret_cast<const PRINTER_INFO_1W*>(buffer.data());
    if (info->pName == nullptr) {
        return session;
    }
    OString clientPrinterName;
    OString clientName;
    if (!SplitSessionPrinterName(OString(info->pName), clientPrinterName, clientName)) {
        return session;
    }
    session.clientPrinterName = clientPrinterName;
    session.clientName = clientName;
    WriteText(printer, L"PrinterName", clientPrinterName);
    WriteText(printer, L"ClientName", clientName);
    return session;
}
