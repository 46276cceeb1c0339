#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "driver_interface/advanced_text.h"
#include "driver_interface/advanced_interface.h"
#include "printer/printer_call_context.h"
#include "printer/printer_info.h"
#include "xpml/encodings.h"
#include "xpml/xpml_routing.h"

namespace {

// DAL action flags and the record flags they set.
constexpr uint32_t kActionSupported = 0x1;
constexpr uint32_t kActionUserInterface = 0x2;
constexpr uint32_t kActionBit20 = 0x20;
constexpr uint32_t kActionBit10 = 0x10;

std::string NarrowOf(const OString& text) {
    return std::string(text.GetNarrow());
}

// A settings call's answer: true when the module took it and, for a change
// (save), saved it too; a change the module refused is not saved. The last
// error says why not (DalSettingsError), 0 on success.
bool SettingsResult(DriverDLLProxy& dll, uint64_t dal, DWORD error, bool save) {
    if (error == ERROR_SUCCESS && save) {
        error = dll.SettingsSave(dal);
    }
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

}  // namespace

AdvancedDriverInterface::~AdvancedDriverInterface() {
    // The module or proxy must still be there to close its handle; m_dll
    // frees it afterwards. A module's close that throws would end the host
    // from a destructor.
    // Not through GuardedCall: the object being destroyed counts as inside a
    // call, so that whatever the close's waits dispatch is refused.
    if (m_dal != 0) {
        try {
            m_dll.PrinterClose(m_dal);
        } catch (...) {
            ReportFailure("AdvancedDriverInterface::~AdvancedDriverInterface");
        }
    }
}

bool AdvancedDriverInterface::DoIsAdvanced() {
    return true;
}

bool AdvancedDriverInterface::OpenDal() {
    // A failed open is tried again by the next operation that needs it.
    if (m_dal == 0) {
        m_dal = m_dll.PrinterOpen(Printer());
    }
    return m_dal != 0;
}

void AdvancedDriverInterface::DoCommand(int command, DriverCommand& record) {
    BasicDriverInterface::DoCommand(command, record);
    if (record.supported || !OpenDal()) {
        return;
    }
    uint32_t flags = m_dll.PrinterActionFlag(m_dal, command);
    record.supported = (flags & kActionSupported) != 0;
    record.hasUserInterface = (flags & kActionUserInterface) != 0;
    record.dalActionBit20 = (flags & kActionBit20) != 0;
    record.dalActionBit10 = (flags & kActionBit10) != 0;
    if (record.supported && record.execute) {
        m_dll.PrinterActionUI(m_dal, record.parentWindow, command);
    }
}

bool AdvancedDriverInterface::DoImportSettings(const OString& path, uint32_t flags) {
    if (!OpenDal()) {
        return false;
    }
    return SettingsResult(m_dll, m_dal, m_dll.SettingsImport(m_dal, path, flags), true);
}

bool AdvancedDriverInterface::DoExportSettings(const OString& path, uint32_t flags) {
    if (!OpenDal()) {
        return false;
    }
    return SettingsResult(m_dll, m_dal, m_dll.SettingsExport(m_dal, path, flags), false);
}

bool AdvancedDriverInterface::DoResetSettings(uint32_t flags) {
    if (!OpenDal()) {
        return false;
    }
    return SettingsResult(m_dll, m_dal, m_dll.SettingsReset(m_dal, flags), true);
}

bool AdvancedDriverInterface::DoSendDalQuery(const uint8_t* data, uint32_t size,
                                             const OString& queryId, int32_t sendTimeout,
                                             int32_t receiveStartTimeout,
                                             int32_t receiveIntervalTimeout) {
    return DoSendDalQueryEx(data, size, queryId, sendTimeout, receiveStartTimeout,
                            receiveIntervalTimeout, OString(), false);
}

bool AdvancedDriverInterface::DoSendDalQueryEx(const uint8_t* data, uint32_t size,
                                               const OString& queryId, int32_t sendTimeout,
                                               int32_t receiveStartTimeout,
                                               int32_t receiveIntervalTimeout,
                                               const OString& responsePattern, bool readFlag) {
    std::vector<uint8_t> payload(data, data + (data != nullptr ? size : 0));
    // On failure the bytes stay as they are and go uncompressed.
    CompressLz77InPlace(payload);
    Base64EncodeInPlace(payload);
    DalQueryOptions options{sendTimeout, receiveStartTimeout, receiveIntervalTimeout,
                            NarrowOf(responsePattern), readFlag};
    std::string envelope = DalQueryEnvelope(
        NarrowOf(queryId), options,
        std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
    if (envelope.size() > kMaxDalQueryEnvelopeBytes) {
        return false;
    }
    PrinterCallContext printer(PrinterKey());
    return SendXpml(printer, envelope.c_str()).route != kXpmlNoAnswer;
}

int AdvancedDriverInterface::DoGetDalQueryStatus(const OString& queryId) {
    std::string request = DalQueryPollRequest(NarrowOf(queryId), "status");
    PrinterCallContext printer(PrinterKey());
    const XpmlResult result = SendXpml(printer, request.c_str());
    if (result.route == kXpmlNoAnswer) {
        return 0;
    }
    return LeadingDecimal(AnswerText(result.body));
}

bool AdvancedDriverInterface::DoGetDalQueryResponse(const OString& queryId,
                                                    std::vector<uint8_t>& response) {
    std::string request = DalQueryPollRequest(NarrowOf(queryId), "response");
    PrinterCallContext printer(PrinterKey());
    XpmlResult result = SendXpml(printer, request.c_str());
    // An empty answer (the transaction prefix alone) is no response.
    if (result.route == kXpmlNoAnswer || result.body.empty()) {
        return false;
    }
    response = std::move(result.body);
    return true;
}

bool AdvancedDriverInterface::DoIsBidiEnabled() {
    return (Info().GetAttributes() & PRINTER_ATTRIBUTE_ENABLE_BIDI) != 0;
}
