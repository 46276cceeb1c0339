#include "sim_dal_printer.h"

#include "sim/dal_module/sim_dal_module.h"
#include "sim/printer_setup.h"
#include "support/files.h"

namespace QvTest {
namespace {

std::wstring LogPath() {
    return TempFolder() + L"qvsimdal-calls-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
}

}  // namespace

SimDalPrinter::SimDalPrinter(const std::wstring& tag, const std::wstring& variant)
    : m_printer(tag) {
    ::SetEnvironmentVariableW(QvSimDal::kLogVariable, LogPath().c_str());
    if (!m_printer.Ok()) {
        m_error = m_printer.Error();
        return;
    }
    std::wstring file = WinePrinter::UniqueName(tag);
    m_modulePath = QvSim::PrinterDriverFolder() + L"3\\" + file + L".d64";
    if (!::CopyFileW((ProgramFolder() + L"\\" + variant + L".dll").c_str(), m_modulePath.c_str(),
                     FALSE)) {
        m_error = L"cannot copy " + variant + L": error " + std::to_wstring(::GetLastError());
        return;
    }
    m_ok = m_printer.SetDataString(L"DAL Interface", file + L".dll");
}

SimDalPrinter::~SimDalPrinter() {
    if (!m_modulePath.empty()) {
        ::DeleteFileW(m_modulePath.c_str());
    }
}

bool SimDalPrinter::SetIsolation(DWORD mode) const {
    // Driver settings live below the printer data (PrinterDriverData\Settings);
    // Wine's SetPrinterDataExW would put a "Settings" key beside it.
    std::wstring key = m_printer.RegistryPath() + L"\\PrinterDriverData\\Settings\\DAL";
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Isolation Mode", REG_DWORD, &mode,
                             sizeof mode) == ERROR_SUCCESS;
}

std::vector<std::vector<std::wstring>> SimDalPrinter::Calls() {
    std::vector<std::vector<std::wstring>> calls;
    std::string bytes = ReadWholeFile(LogPath()).value_or("");
    std::wstring text(bytes.size(), L'\0');
    text.resize(static_cast<size_t>(
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                              static_cast<int>(text.size()))));
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        std::vector<std::wstring> fields;
        std::wstring line = text.substr(start, end - start);
        size_t from = 0;
        for (size_t tab; (tab = line.find(L'\t', from)) != std::wstring::npos; from = tab + 1) {
            fields.push_back(line.substr(from, tab - from));
        }
        fields.push_back(line.substr(from));
        calls.push_back(fields);
    }
    return calls;
}

void SimDalPrinter::ClearCalls() {
    ::DeleteFileW(LogPath().c_str());
}

std::vector<std::wstring> SimDalPrinter::CallTexts() {
    std::vector<std::wstring> texts;
    for (const auto& call : Calls()) {
        std::wstring text;
        for (size_t i = 2; i < call.size(); ++i) {
            text += (i > 2 ? L" " : L"") + call[i];
        }
        texts.push_back(text);
    }
    return texts;
}

DWORD SimDalPrinter::LastProcessOf(const std::wstring& function) {
    DWORD id = 0;
    for (const auto& call : Calls()) {
        if (call.size() > 2 && call[2] == function) {
            id = static_cast<DWORD>(std::stoul(call[0]));
        }
    }
    return id;
}

bool ProcessEnded(DWORD processId, DWORD timeoutMs) {
    OKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    return !process || ::WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace QvTest
