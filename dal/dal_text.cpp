#include "dal/dal_text.h"

#include <algorithm>

OString DalModuleFileName(const OString& value, bool classicLayout) {
    int32_t slash = value.ReverseFindBackslash();
    OString name = slash < 0 ? value : value.Mid(slash + 1);
    if (classicLayout) {
        name.Replace(OString(L".dll"), OString(L".d64"));
    }
    return name;
}

namespace {

// Why a run of path text is no plain component list: slashes, "." and ".."
// components, drive or stream colons, control characters.
const char* ComponentsFault(std::wstring_view text) {
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        const wchar_t c = i < text.size() ? text[i] : L'\\';
        if (c == L'/') {
            return "a forward slash";
        }
        if (c == L':') {
            return "a colon past the drive";
        }
        if (c < 0x20) {
            return "a control character";
        }
        if (c != L'\\') {
            continue;
        }
        const std::wstring_view part = text.substr(start, i - start);
        if (part == L"." || part == L"..") {
            return "a \".\" or \"..\" component";
        }
        start = i + 1;
    }
    return nullptr;
}

}  // namespace

const char* DalModulePathFault(std::wstring_view folder, std::wstring_view fileName) {
    if (folder.size() >= 2 && (folder[0] == L'\\' || folder[0] == L'/') &&
        (folder[1] == L'\\' || folder[1] == L'/')) {
        return "a network or device path";
    }
    const bool drive = folder.size() >= 3 &&
                       ((folder[0] | 0x20) >= L'a' && (folder[0] | 0x20) <= L'z') &&
                       folder[1] == L':' && folder[2] == L'\\';
    if (!drive) {
        return "a folder that is not an absolute drive path";
    }
    if (const char* fault = ComponentsFault(folder.substr(3))) {
        return fault;
    }
    if (fileName.empty()) {
        return "no file name";
    }
    if (fileName.find(L'\\') != std::wstring_view::npos) {
        return "a folder in the file name";
    }
    return ComponentsFault(fileName);
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

OString DalProxyPipeName(uint64_t address, uint32_t processId, uint32_t serial) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(address >> (8 * i));
    }
    return OString(L"\\\\.\\pipe\\Quorvel-DriverDLLProxy-") + OString::FromBytesHex(bytes, 8) +
           OString(L"-") + OString::ToHex(processId) + OString(L"-") + OString::ToHex(serial);
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

namespace {

// Little-endian fields of the image, each read only when it lies in the file.
struct ImageBytes {
    std::span<const uint8_t> file;

    bool Has(uint64_t offset, uint64_t size) const {
        return offset <= file.size() && size <= file.size() - offset;
    }
    uint32_t Field(uint64_t offset, int size, bool& ok) const {
        uint32_t value = 0;
        ok = ok && Has(offset, static_cast<uint64_t>(size));
        for (int i = ok ? size : 0; i-- > 0;) {
            value = (value << 8) | file[offset + i];
        }
        return value;
    }
};

}  // namespace

bool DalImageExportNames(std::span<const uint8_t> file, std::span<const char* const> wanted,
                         std::vector<std::string>& names) {
    names.clear();
    ImageBytes image{file};
    bool ok = true;
    if (image.Field(0, 2, ok) != 0x5A4D) {  // "MZ"
        return false;
    }
    uint64_t pe = image.Field(0x3C, 4, ok);
    if (image.Field(pe, 4, ok) != 0x4550) {  // "PE\0\0"
        return false;
    }
    // The loader takes at most 96 sections, and no export name of a DAL module
    // comes near kMaxExportName: both bound the work a malformed file can
    // cause (every name is looked up through the sections).
    constexpr uint32_t kMaxSections = 96;
    constexpr size_t kMaxExportName = 512;
    uint32_t sectionCount = image.Field(pe + 6, 2, ok);
    if (sectionCount > kMaxSections) {
        return false;
    }
    uint64_t optional = pe + 24;
    uint64_t sections = optional + image.Field(pe + 20, 2, ok);
    // The directories follow the optional header's fixed part, 16 bytes longer
    // in a 64-bit image.
    uint32_t magic = image.Field(optional, 2, ok);
    if (!ok || (magic != 0x10B && magic != 0x20B)) {
        return false;
    }
    uint64_t fixed = magic == 0x20B ? 112 : 96;
    if (image.Field(optional + fixed - 4, 4, ok) == 0) {  // no data directories
        return ok;
    }
    uint32_t directory = image.Field(optional + fixed, 4, ok);
    if (!ok || directory == 0) {
        return ok;
    }
    // Where an address of the loaded image lies in the file: in the raw data
    // of the section that holds it.
    auto fileOffset = [&](uint32_t address, uint64_t& offset) {
        for (uint32_t i = 0; i < sectionCount; ++i) {
            uint64_t header = sections + 40ull * i;
            uint32_t start = image.Field(header + 12, 4, ok);
            uint32_t rawSize = image.Field(header + 16, 4, ok);
            if (ok && address >= start && address - start < rawSize) {
                offset = image.Field(header + 20, 4, ok) + uint64_t{address - start};
                return ok;
            }
        }
        return false;
    };
    uint64_t table = 0, nameList = 0, name = 0;
    if (!fileOffset(directory, table)) {
        return false;
    }
    uint32_t count = image.Field(table + 24, 4, ok);
    if (count > kDalMaxExportNames) {
        return false;
    }
    if (count != 0 && !fileOffset(image.Field(table + 32, 4, ok), nameList)) {
        return false;
    }
    for (uint32_t i = 0; ok && i < count; ++i) {
        if (!fileOffset(image.Field(nameList + 4ull * i, 4, ok), name)) {
            return false;
        }
        size_t length = 0;
        while (image.Has(name + length, 1) && file[name + length] != 0 && length < kMaxExportName) {
            ++length;
        }
        ok = length < kMaxExportName && image.Has(name + length, 1) &&
             file[name + length] == 0;  // terminated in the file
        const std::string_view text(reinterpret_cast<const char*>(file.data() + name), length);
        for (const char* candidate : wanted) {
            if (ok && text == candidate &&
                std::find(names.begin(), names.end(), text) == names.end()) {
                names.emplace_back(text);
            }
        }
    }
    return ok;
}
