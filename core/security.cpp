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
