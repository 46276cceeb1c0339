#include "core/security.h"

#include <sddl.h>

#include <vector>

#include "core/win_buffer.h"

OSecurityAttributes::OSecurityAttributes() : m_text(kDaclPrefix) {
    m_attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    m_attributes.lpSecurityDescriptor = nullptr;
    m_attributes.bInheritHandle = FALSE;
}

void OSecurityAttributes::Append(const wchar_t* entry) {
    if (entry != nullptr) {
        m_text.Append(entry);
    }
}

bool OSecurityAttributes::Build() {
    m_attributes.lpSecurityDescriptor = nullptr;
    m_descriptor.Reset();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(m_text.GetWide(), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return false;
    }
    m_descriptor.Reset(descriptor);
    m_attributes.lpSecurityDescriptor = descriptor;
    return true;
}

bool OSecurityAttributes::BuildCurrentUserOnly() {
    Reset();
    OString user = OCurrentUserSid();
    if (user.IsEmpty()) {
        return false;
    }
    m_text = OString(L"D:P(A;;GA;;;") + user + OString(L")(A;;GA;;;SY)");
    return Build();
}

void OSecurityAttributes::Reset() {
    m_attributes.lpSecurityDescriptor = nullptr;
    m_descriptor.Reset();
    m_text = kDaclPrefix;
}

OString OCurrentUserSid() {
    OKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
        return OString();
    }
    std::vector<uint8_t> user;
    if (!OQueryBoolBuffer(user,
                          [&](uint8_t* buffer, DWORD size, DWORD* needed) {
                              return ::GetTokenInformation(token.Get(), TokenUser, buffer, size,
                                                           needed);
                          }) ||
        user.size() < sizeof(TOKEN_USER)) {
        return OString();
    }
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
        return OString();
    }
    OLocalMemory owned(text);
    return OString(text);
}

namespace {

void AppendDirectoryEntries(OSecurityAttributes& attributes, int32_t access) {
    switch (static_cast<ODirectoryAccess>(access)) {
        case ODirectoryAccess::EveryoneRead:
            attributes.Append(L"(A;OICI;FR;;;WD)");
            break;
        case ODirectoryAccess::EveryoneFull:
            attributes.Append(L"(A;OICI;FA;;;WD)");
            break;
        default:
            break;
    }
    attributes.Append(L"(A;OICI;FA;;;BA)");
    attributes.Append(L"(A;OICI;FA;;;SY)");
}

// ERROR_ALREADY_EXISTS counts as success when a directory is there, made by us
// earlier or by someone else in between. CreateDirectoryW gives the same error
// for a file of that name, which must not pass for a directory.
bool CreateOne(const wchar_t* path, SECURITY_ATTRIBUTES* attributes) {
    if (ScopedApi<ODirectoryApi>::Current().createDirectory(path, attributes)) {
        return true;
    }
    DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
        return false;
    }
    DWORD found = ::GetFileAttributesW(path);
    if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;
    }
    ::SetLastError(error);
    return false;
}

bool CreateLevels(const OString& path, SECURITY_ATTRIBUTES* attributes) {
    const wchar_t* text = path.GetWide();
    if (CreateOne(text, attributes)) {
        return true;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        return false;  // a file stands in the way; making parents cannot help
    }
    const wchar_t* slash = OString::StrRChrBackslash(text);
    // A backslash at index 3 or less is a drive root's ("C:\") or there is no
    // parent at all: nothing further up can be made.
    if (slash == nullptr || slash - text <= 3) {
        return false;
    }
    OString parent(text, static_cast<int32_t>(slash - text));
    if (!CreateLevels(parent, attributes)) {
        return false;
    }
    return CreateOne(path.GetWide(), attributes);
}

}  // namespace

bool CreateDirectoryRecursive(const OString& path, int32_t access) {
    if (path.IsEmpty()) {
        return false;
    }
    if (static_cast<ODirectoryAccess>(access) == ODirectoryAccess::Inherit) {
        return CreateLevels(path, nullptr);
    }
    OSecurityAttributes attributes;
    AppendDirectoryEntries(attributes, access);
    attributes.Build();
    return CreateLevels(path, attributes.Get());
}

bool IsOwnedByTrustedUser(const OString& folder, OString* owner) {
    if (owner != nullptr) {
        *owner = OString();
    }
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = ScopedApi<OFileIdentityApi>::Current().getNamedSecurityInfo(
        const_cast<LPWSTR>(folder.GetWide()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
        nullptr, nullptr, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    OLocalMemory owned(descriptor);
    if (sid == nullptr || !::IsValidSid(sid)) {
        return false;
    }
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) {
        return false;
    }
    OLocalMemory ownedText(text);
    if (owner != nullptr) {
        *owner = OString(text);
    }
    if (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
        ::IsWellKnownSid(sid, WinLocalSystemSid)) {
        return true;
    }
    OString user = OCurrentUserSid();
    return !user.IsEmpty() && user.Compare(OString(text)) == 0;
}

const char* OFileIdentityText(OFileIdentity identity) {
    switch (identity) {
        case OFileIdentity::Plain:
            return "a plain file";
        case OFileIdentity::ReparsePoint:
            return "a reparse point";
        case OFileIdentity::HardLinked:
            return "a file with more than one hard link";
        case OFileIdentity::Elsewhere:
            return "a link to another path";
        default:
            return "not inspectable";
    }
}

namespace {

// "\\?\C:\x" and "\\?\UNC\server\x" as the plain paths they stand for.
std::wstring WithoutLongPrefix(std::wstring path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        return L"\\" + path.substr(7);
    }
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        return path.substr(4);
    }
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

OFileIdentity CheckFileIdentity(HANDLE file, const OString& path) {
    const OFileIdentityApi& api = ScopedApi<OFileIdentityApi>::Current();
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!api.getFileInformation(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        !api.getFileInformation(file, FileStandardInfo, &standard, sizeof standard)) {
        return OFileIdentity::Unknown;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return OFileIdentity::ReparsePoint;
    }
    if (standard.NumberOfLinks > 1) {
        return OFileIdentity::HardLinked;
    }
    // Wine follows a link made on the Unix side without showing the reparse
    // attribute, but the final path names the target, as Windows does for a
    // link in any folder above the file.
    std::vector<wchar_t> final;
    std::vector<wchar_t> asked;
    if (!OQueryTruncatingText(final,
                              [&](wchar_t* buffer, DWORD chars) {
                                  return api.getFinalPathName(file, buffer, chars,
                                                              FILE_NAME_NORMALIZED);
                              }) ||
        !OQueryTruncatingText(asked, [&](wchar_t* buffer, DWORD chars) {
            return ::GetFullPathNameW(path.GetWide(), chars, buffer, nullptr);
        })) {
        return OFileIdentity::Unknown;
    }
    if (!SamePath(WithoutLongPrefix(std::wstring(final.begin(), final.end())),
                  WithoutLongPrefix(std::wstring(asked.begin(), asked.end())))) {
        return OFileIdentity::Elsewhere;
    }
    return OFileIdentity::Plain;
}

OFileHandle OpenUnlinkedFile(const OString& path, DWORD access, DWORD share, DWORD disposition,
                             OFileIdentity* identity) {
    OFileIdentity found = OFileIdentity::Unknown;
    OFileHandle file(::CreateFileW(path.GetWide(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                                   disposition,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file) {
        DWORD error = ::GetLastError();  // ERROR_ALREADY_EXISTS tells OPEN_ALWAYS's callers
        found = CheckFileIdentity(file.Get(), path);
        if (found != OFileIdentity::Plain) {
            file.Reset();
            error = ERROR_CANT_ACCESS_FILE;
        }
        ::SetLastError(error);
    }
    if (identity != nullptr) {
        *identity = found;
    }
    return file;
}
