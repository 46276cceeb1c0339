#include "printer/printer_names.h"

#include <cwchar>

namespace {

// Whether text begins with prefix.
bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

}  // namespace

bool ForeignServerOf(const OString& serverName, const OString& computerName, OString& server) {
    if (serverName.IsEmpty() || computerName.IsEmpty()) {
        return false;
    }
    const wchar_t* text = serverName.GetWide();
    OString named;
    if (StartsWith(text, L"\\\\CSR|")) {
        named = text + 6;
    } else if (StartsWith(text, L"\\\\")) {
        named = text + 2;
    } else {
        named = computerName;
    }
    named.MakeLower();
    if (computerName.CompareNoCase(named) == 0) {
        return false;
    }
    server = named;
    return true;
}

PrinterPlace PlaceOf(const OString& serverName, const OString& shareName, const OString& portName,
                     const OString& printerName, const OString& computerName) {
    PrinterPlace place;
    place.shareName = shareName;
    if (!serverName.IsEmpty()) {
        place.serverName = serverName;
        place.serverName.TrimLeft(OString("\\"));
        place.remote = true;
    } else if (StartsWith(portName.GetWide(), L"\\\\")) {
        // A port "\\host\queue" sends the jobs to a queue of another machine.
        int32_t slash = portName.Find("\\", 2);
        if (slash >= 0) {
            place.serverName = portName.Mid(2, slash - 2);
            place.shareName = portName.Mid(slash + 1);
        } else {
            place.serverName = portName.Mid(2);
        }
        place.remote = true;
    } else {
        place.serverName = computerName;
    }
    int32_t slash = printerName.Find("\\", 2);
    place.shortName = slash >= 0 ? printerName.Mid(slash + 1) : printerName;
    return place;
}

PrinterModel ModelOf(const OString& dataFileName) {
    PrinterModel model;
    model.family = dataFileName.Left(3);
    model.family.MakeLower();
    model.code = dataFileName.Mid(3, 2);
    model.code.MakeLower();
    return model;
}
