#include "dal/dal_text.h"

OString DalModuleFileName(const OString& value, bool classicLayout) {
    int32_t slash = value.ReverseFindBackslash();
    OString name = slash < 0 ? value : value.Mid(slash + 1);
    if (classicLayout) {
        name.Replace(OString(L".dll"), OString(L".d64"));
    }
    return name;
}

uint64_t DalVersionFromWords(uint32_t mostSignificant, uint32_t leastSignificant) {
    return (uint64_t{mostSignificant} << 32) | leastSignificant;
}

uint64_t DalVersionFromText(const char* text) {
    uint64_t version = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        uint32_t number = 0;
        if (p != nullptr) {
            for (; *p >= '0' && *p <= '9'; ++p) {
                number = number * 10 + static_cast<uint32_t>(*p - '0');
            }
            // The rest of the part up to its '.' is not a number.
            while (*p != '\0' && *p != '.') {
                ++p;
            }
            p = *p == '.' ? p + 1 : nullptr;
        }
        version = (version << 16) | (number & 0xFFFF);
    }
    return version;
}

OString DalProxyPipeName(uint64_t address) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(address >> (8 * i));
    }
    return OString(L"\\\\.\\pipe\\Quorvel-DriverDLLProxy-") + OString::FromBytesHex(bytes, 8);
}

OString DalProxyCommandLine(const OString& modulePath, const OString& pipeName) {
    return OString(L"RunDLL32.exe \"") + modulePath + OString(L"\",DAL_Proxy ") + pipeName;
}

OString DalPipeFailureText(bool write, int32_t wanted, int32_t moved, int32_t error) {
    OString text(write ? "DriverDLLProxy::PutPipeData() failed: bytesToWrite="
                       : "DriverDLLProxy::GetPipeData() failed: bytesToRead=");
    text.Append(wanted);
    text.Append(write ? ";bytesWritten=" : ";bytesRead=");
    text.Append(moved);
    text.Append(";GetLastError()=");
    text.Append(error);
    return text;
}
