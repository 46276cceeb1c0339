#include <windows.h>
#include <winspool.h>

#include <new>
#include <vector>

#include "core/clock.h"
#include "core/streams.h"
#include "core/win_buffer.h"
#include "diagnostics/event_log.h"
#include "driver_interface/basic_spooler.h"
#include "driver_interface/basic_interface.h"
#include "printer/printer_info.h"
#include "printer/printer_info_cache.h"
#include "printer/printer_info_reader.h"
#include "printer/printing_contexts.h"

namespace {

constexpr int kCommandTestPage = 1;
constexpr int kCommandEmptyPage = 2;
// As often as the thread's cached facts are read again.
constexpr uint64_t kKeyCheckIntervalMs = 1000;
constexpr uint64_t kWatchedKeyCheckIntervalMs = 60000;

}  // namespace

BasicDriverInterface::BasicDriverInterface()
    : m_eventLog(std::make_shared<OEventLog>(OString(OEventLog::kSourcePrinterInterface))) {}

BasicDriverInterface::~BasicDriverInterface() = default;

void BasicDriverInterface::DoSetPrinterHandle(HANDLE printer) {
    m_printer = printer;
    m_printerKey = OString();
    m_gone = false;
}

// A new interface sees the printer as it is now (its bidi attribute above
// all); later calls take the thread's cached facts, at most a second old.
const OString& BasicDriverInterface::PrinterKey() {
    if (m_printerKey.IsEmpty() && m_printer != nullptr && !m_gone) {
        m_printerKey = PrinterInfoReader::KeyFromHandle(m_printer);
        m_keyChecked = OTickCount();
        PrinterInfoCache::ExpireThisThread(m_printerKey);
    } else {
        // A host calling through the vtable passes no export boundary: facts
        // asked by the old name must not be another printer's either.
        PrinterGone();
    }
    return m_printerKey;
}

// The key taken first is the printer's identity: the handle follows the
// printer through a rename, its old name does not.
bool BasicDriverInterface::PrinterGone() {
    if (m_gone || m_printer == nullptr || m_printerKey.IsEmpty()) {
        return m_gone;
    }
    const uint64_t now = OTickCount();
    // A watching interface answers its status from a snapshot in microseconds;
    // a spooler call each second on the caller's thread would cost its calls
    // milliseconds, so it asks once a minute.
    const uint64_t interval =
        m_servesWatcher || Watching() ? kWatchedKeyCheckIntervalMs : kKeyCheckIntervalMs;
    if (now >= m_keyChecked && now - m_keyChecked < interval) {
        return false;
    }
    m_keyChecked = now;
    const OString current = PrinterInfoReader::KeyFromHandle(m_printer);
    m_gone = !current.IsEmpty() && current.Compare(m_printerKey) != 0;
    if (m_gone) {
        m_printerKey = OString();  // nothing more is asked by the old name
    }
    return m_gone;
}

PrinterInfo BasicDriverInterface::Info() {
    const OString& key = PrinterKey();
    return key.IsEmpty() ? PrinterInfo() : PrinterInfoCache::Lookup(key);
}

std::shared_ptr<OEventLog> BasicDriverInterface::GetEventLog() {
    return m_eventLog;
}

StatusProvenance BasicDriverInterface::DoGetStatusProvenance() {
    return m_provenance;
}

void BasicDriverInterface::RecordProvenance(const char* operation,
                                            const StatusProvenance& provenance) {
    m_provenance = provenance;
    if (m_eventLog != nullptr) {
        ReportProvenance(*m_eventLog, operation, PrinterKey(), provenance);
    }
}

void BasicDriverInterface::RecordSpooler(const char* operation) {
    RecordProvenance(operation,
                     ProvenanceOf(DoIsAdvanced() ? kStatusSpoolerWord : kStatusBasicInterface));
}

// Without a file name there is nothing to ask for a version or a date.
OString BasicDriverInterface::ConfigurationModulePath(const PrinterInfo& info) {
    if (info.GetModuleFile().IsEmpty()) {
        return OString();
    }
    return info.GetModuleDirectory() + "\\" + info.GetModuleFile();
}

OString BasicDriverInterface::FormatDriverVersion(uint64_t version) {
    return OString::Formatted("%hu.%hu.%hu.%hu", static_cast<unsigned>((version >> 48) & 0xFFFF),
                              static_cast<unsigned>((version >> 32) & 0xFFFF),
                              static_cast<unsigned>((version >> 16) & 0xFFFF),
                              static_cast<unsigned>(version & 0xFFFF));
}

OString BasicDriverInterface::FormatDriverDate(const FILETIME& date) {
    if (date.dwLowDateTime == 0 && date.dwHighDateTime == 0) {
        return OString();
    }
    // The spooler's driver date is a calendar date stored as UTC midnight:
    // converting to local time would move it to the day before west of UTC.
    SYSTEMTIME time;
    if (!::FileTimeToSystemTime(&date, &time)) {
        return OString();
    }
    wchar_t text[64];
    if (::GetDateFormatW(LOCALE_INVARIANT, DATE_SHORTDATE, &time, nullptr, text, 64) <= 0) {
        return OString();
    }
    return OString(text);
}

OString BasicDriverInterface::ReadVersionString(const OString& path, const OString& name) {
    std::vector<uint8_t> block;
    if (!OReadVersionBlock(path.GetWide(), block)) {
        return OString();
    }
    struct Translation {
        WORD language;
        WORD codePage;
    };
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) ||
        value == nullptr) {
        return OString();
    }
    const auto* translations = static_cast<const Translation*>(value);
    UINT count = length / sizeof(Translation);
    // A module may list translations without a string block for each; the first
    // one that has the string wins.
    for (UINT i = 0; i < count; ++i) {
        OString key = OString::Formatted("\\StringFileInfo\\%04X%04X\\", translations[i].language,
                                         translations[i].codePage) +
                      name;
        void* text = nullptr;
        UINT textLength = 0;
        if (::VerQueryValueW(block.data(), key.GetWide(), &text, &textLength) && text != nullptr) {
            // A malformed resource need not end its text with a NUL: read up to
            // the NUL but never past the block. (The stated length is not used:
            // some resource tools count bytes there, some write 0.)
            const auto* at = static_cast<const uint8_t*>(text);
            if (at < block.data() || at >= block.data() + block.size()) {
                return OString();
            }
            size_t room = static_cast<size_t>(block.data() + block.size() - at) / sizeof(wchar_t);
            return OString(static_cast<const wchar_t*>(text), static_cast<int32_t>(room));
        }
    }
    return OString();
}

OString BasicDriverInterface::DoGetPrinterDriverVersion() {
    PrinterInfo info = Info();
    if (info.GetDriverVersion() != 0) {
        return FormatDriverVersion(info.GetDriverVersion());
    }
    OString module = ConfigurationModulePath(info);
    return module.IsEmpty() ? OString() : ReadVersionString(module, OString("ProductVersion"));
}

OString BasicDriverInterface::DoGetPrinterDriverDate() {
    PrinterInfo info = Info();
    FILETIME date = info.GetDriverDate();
    if (date.dwLowDateTime == 0 && date.dwHighDateTime == 0) {
        OString module = ConfigurationModulePath(info);
        if (module.IsEmpty() || !OGetFileCreationTime(module, &date)) {
            return OString();
        }
    }
    return FormatDriverDate(date);
}

void BasicDriverInterface::DoCommand(int command, DriverCommand& record) {
    DriverInterface::DoCommand(command, record);
    if (command != kCommandTestPage && command != kCommandEmptyPage) {
        return;
    }
    record.supported = true;
    if (record.execute) {
        PrinterInfo info = Info();
        PrintTestPage(info.GetPrinterName(), command == kCommandTestPage);
    }
}

bool BasicDriverInterface::DoSendFile(const OString& path, const OString& documentName) {
    OFile file;
    if (!file.Open(path, 0)) {
        return false;
    }
    // One job carries at most what one 32-bit write count can say; a larger
    // file would go out cut short and still be reported as sent.
    uint64_t fileSize = file.GetSize();
    if (fileSize > 0xFFFFFFFFu) {
        return false;
    }
    DWORD size = static_cast<DWORD>(fileSize);
    std::vector<uint8_t> data;
    try {
        data.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (size != 0 && file.ReadRaw(data.data(), size) != size) {
        return false;
    }
    file.Close();

    OString name = documentName;
    if (name.IsEmpty()) {
        int32_t slash = path.ReverseFindBackslash();
        name = slash < 0 ? path : path.Mid(slash + 1);
    }
    DOC_INFO_1W doc = {};
    doc.pDocName = const_cast<LPWSTR>(name.GetWide());
    if (::StartDocPrinterW(m_printer, 1, reinterpret_cast<LPBYTE>(&doc)) == 0) {
        return false;
    }
    OScopeGuard endDocument([&] { ::EndDocPrinter(m_printer); });
    if (!::StartPagePrinter(m_printer)) {
        return false;
    }
    OScopeGuard endPage([&] { ::EndPagePrinter(m_printer); });
    // The spooler may take a large buffer in parts; the pause lets a busy port
    // drain. An empty file still makes one write, so the job has its page.
    // An empty vector's data() may be null, which a printer connection's
    // remote call refuses even for 0 bytes.
    uint8_t nothing = 0;
    uint8_t* bytes = size != 0 ? data.data() : &nothing;
    DWORD offset = 0;
    bool written = false;
    do {
        DWORD chunk = 0;
        written = ::WritePrinter(m_printer, bytes + offset, size - offset, &chunk) != FALSE;
        if (chunk > size - offset) {
            chunk = size - offset;
        }
        // A write that succeeds without taking a byte would repeat for ever.
        if (written && chunk == 0 && offset < size) {
            written = false;
        }
        offset += chunk;
        if (written && offset < size) {
            ::Sleep(50);
        }
    } while (written && offset < size);
    return written;
}

bool BasicDriverInterface::DoPauseJob(uint32_t jobId) {
    return BasicSpooler::Current().setJob(m_printer, jobId, 0, nullptr, JOB_CONTROL_PAUSE) != FALSE;
}

bool BasicDriverInterface::DoResumeJob(uint32_t jobId) {
    return BasicSpooler::Current().setJob(m_printer, jobId, 0, nullptr, JOB_CONTROL_RESUME) !=
           FALSE;
}

bool BasicDriverInterface::DoDeleteJob(uint32_t jobId) {
    return BasicSpooler::Current().setJob(m_printer, jobId, 0, nullptr, JOB_CONTROL_DELETE) !=
           FALSE;
}

bool BasicDriverInterface::DoRestartJob(uint32_t jobId) {
    return BasicSpooler::Current().setJob(m_printer, jobId, 0, nullptr, JOB_CONTROL_RESTART) !=
           FALSE;
}

template <typename Change>
bool BasicDriverInterface::ChangeJob(uint32_t jobId, Change change) {
    const BasicSpooler& spooler = BasicSpooler::Current();
    std::vector<uint8_t> job;
    try {
        bool read = OQueryBoolBuffer(job, [&](uint8_t* buffer, DWORD size, DWORD* needed) {
            return spooler.getJob(m_printer, jobId, 2, buffer, size, needed);
        });
        if (!read || job.size() < sizeof(JOB_INFO_2W)) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto* info = reinterpret_cast<JOB_INFO_2W*>(job.data());
    change(*info);
    // The position read may be stale by now: written back, it would move the
    // job if the queue changed in between.
    info->Position = JOB_POSITION_UNSPECIFIED;
    return spooler.setJob(m_printer, jobId, 2, job.data(), 0) != FALSE;
}

bool BasicDriverInterface::DoSetJobPriority(uint32_t jobId, uint32_t priority) {
    return ChangeJob(jobId, [&](JOB_INFO_2W& job) { job.Priority = priority; });
}

bool BasicDriverInterface::DoSetJobStartTime(uint32_t jobId, uint32_t minutes) {
    return ChangeJob(jobId, [&](JOB_INFO_2W& job) { job.StartTime = minutes; });
}

bool BasicDriverInterface::DoSetJobUntilTime(uint32_t jobId, uint32_t minutes) {
    return ChangeJob(jobId, [&](JOB_INFO_2W& job) { job.UntilTime = minutes; });
}

OdometerData BasicDriverInterface::DoGetOdometer() {
    OdometerData odometer;
    if (m_printer != nullptr && !odometer.Read(m_printer)) {
        odometer.Reset();
    }
    return odometer;
}

void BasicDriverInterface::DoSetOdometer(const OdometerData& odometer) {
    if (m_printer != nullptr) {
        odometer.Write(m_printer);
    }
}
