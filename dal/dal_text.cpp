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

OString DalRunDll32Path(const OString& systemFolder, const OString& windowsFolder, bool wow64) {
    OString path = wow64 ? windowsFolder : systemFolder;
    path.TrimRight(OString(L"\\"));
    path.Append(wow64 ? L"\\Sysnative\\rundll32.exe" : L"\\rundll32.exe");
    return path;
}

OString DalProxyCommandLine(const OString& runDll32, const OString& modulePath,
                            const OString& pipeName) {
    return OString(L"\"") + runDll32 + OString(L"\" \"") + modulePath + OString(L"\",DAL_Proxy ") +
           pipeName;
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

std::array<uint8_t, 8> EncodePipeNumber(int64_t value) {
    std::array<uint8_t, 8> bytes;
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    return bytes;
}

int64_t DecodePipeNumber(const std::array<uint8_t, 8>& bytes) {
    uint64_t number = 0;
    for (size_t i = bytes.size(); i-- > 0;) {
        number = (number << 8) | bytes[i];
    }
    return static_cast<int64_t>(number);
}

std::vector<uint8_t> EncodePipeText(std::wstring_view text) {
    auto units = static_cast<uint16_t>(text.size());
    std::vector<uint8_t> bytes{static_cast<uint8_t>(units), static_cast<uint8_t>(units >> 8)};
    for (wchar_t unit : text.substr(0, units)) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(unit) >> 8));
    }
    return bytes;
}

bool DecodePipeText(std::span<const uint8_t> messages, std::wstring& text) {
    if (messages.size() < 2) {
        return false;
    }
    size_t units = messages[0] | messages[1] << 8;
    if (messages.size() != 2 + 2 * units) {
        return false;
    }
    text.clear();
    for (size_t i = 2; i < messages.size(); i += 2) {
        text += static_cast<wchar_t>(messages[i] | messages[i + 1] << 8);
    }
    return true;
}
