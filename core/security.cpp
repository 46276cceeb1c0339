#include "core/security.h"

#include <sddl.h>

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

void OSecurityAttributes::Reset() {
    m_attributes.lpSecurityDescriptor = nullptr;
    m_descriptor.Reset();
    m_text = kDaclPrefix;
}

namespace {

void AppendDirectoryEntries(OSecurityAttributes& attributes, int32_t access) {
    switch (access) {
        case 1:
            attributes.Append(L"(A;OICI;FR;;;WD)");
            break;
        case 2:
            attributes.Append(L"(A;OICI;FA;;;WD)");
            break;
        default:
            break;
    }
    attributes.Append(L"(A;OICI;FA;;;BA)");
    attributes.Append(L"(A;OICI;FA;;;SY)");
}

// ERROR_ALREADY_EXISTS counts as success: the directory is there, made by us
// earlier or by someone else in between.
bool CreateOne(const wchar_t* path, SECURITY_ATTRIBUTES* attributes) {
    return ::CreateDirectoryW(path, attributes) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool CreateLevels(const OString& path, SECURITY_ATTRIBUTES* attributes) {
    const wchar_t* text = path.GetWide();
    if (CreateOne(text, attributes)) {
        return true;
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
    if (access == 0) {
        return CreateLevels(path, nullptr);
    }
    OSecurityAttributes attributes;
    AppendDirectoryEntries(attributes, access);
    attributes.Build();
    return CreateLevels(path, attributes.Get());
}
