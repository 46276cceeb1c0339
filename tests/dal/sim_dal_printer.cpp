#include "sim_dal_printer.h"

#include <algorithm>

#include "sim/dal_module/sim_dal_module.h"
#include "sim/label_printer.h"
#include "support/files.h"

namespace QvTest {
namespace {

std::wstring LogPath() {
    return TempFolder() + L"qvsimdal-calls-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
}

// Each log line: process id, side, export, arguments, separated by tabs.
std::vector<std::pair<DWORD, std::wstring>> Calls() {
    std::string bytes = ReadWholeFile(LogPath()).value_or("");
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    std::vector<std::pair<DWORD, std::wstring>> calls;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos;
         start = end + 2) {
        std::wstring line = text.substr(start, end - start);
        size_t side = line.find(L'\t');
        size_t function = line.find(L'\t', side + 1);
        std::wstring call = line.substr(function + 1);
        std::replace(call.begin(), call.end(), L'\t', L' ');
        calls.emplace_back(static_cast<DWORD>(std::stoul(line)), call);
    }
    return calls;
}

}  // namespace

SimDalPrinter::SimDalPrinter(const std::wstring& tag, const std::wstring& variant)
    : m_printer(tag) {
    ::SetEnvironmentVariableW(QvSimDal::kLogVariable, LogPath().c_str());
    if (!m_printer.Ok()) {
        m_error = m_printer.Error();
        return;
    }
    m_modulePath =
        QvSim::InstallDalModule(m_printer.Name(), ProgramFolder() + L"\\" + variant + L".dll",
                                WinePrinter::UniqueName(tag), &m_error);
    m_ok = !m_modulePath.empty();
}

SimDalPrinter::~SimDalPrinter() {
    ::DeleteFileW(m_modulePath.c_str());  // an empty name deletes nothing
}

bool SimDalPrinter::SetIsolation(DWORD mode) const {
    return QvSim::SetDriverSetting(m_printer.Name(), L"DAL", L"Isolation Mode", mode);
}

void SimDalPrinter::ClearCalls() {
    ::DeleteFileW(LogPath().c_str());
}

std::vector<std::wstring> SimDalPrinter::CallTexts() {
    std::vector<std::wstring> texts;
    for (const auto& call : Calls()) {
        texts.push_back(call.second);
    }
    return texts;
}

DWORD SimDalPrinter::LastProcessOf(const std::wstring& function) {
    DWORD id = 0;
    for (const auto& [process, text] : Calls()) {
        if (text.substr(0, text.find(L' ')) == function) {
            id = process;
        }
    }
    return id;
}

bool ProcessEnded(DWORD processId, DWORD timeoutMs) {
    OKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    return !process || ::WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace QvTest
