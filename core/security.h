#pragma once

#include <windows.h>
#include <aclapi.h>

#include <cstdint>

#include "core/handles.h"
#include "core/ostring.h"
#include "core/seam.h"

// Security attributes built from SDDL text: a DACL that starts as "D:" and
// takes access entries such as "(A;OICI;GA;;;WD)". Get() hands the attributes
// to CreateMutexW, CreateDirectoryW and the like; the descriptor lives as long
// as this object (or until the next Build or Reset). Not copyable: the
// attributes point into the object.
class OSecurityAttributes {
public:
    static constexpr const wchar_t* kDaclPrefix = L"D:";

    OSecurityAttributes();
    OSecurityAttributes(const OSecurityAttributes&) = delete;
    OSecurityAttributes& operator=(const OSecurityAttributes&) = delete;
    ~OSecurityAttributes() = default;

    // Adds one entry to the descriptor text; takes effect at the next Build.
    void Append(const wchar_t* entry);

    // Converts the text (SDDL revision 1), freeing any previous descriptor
    // first. False when the text does not convert; the attributes then carry a
    // null descriptor, which gives the object the caller's default security.
    bool Build();

    // Replaces the text by a protected DACL that lets only the user this
    // process runs as, and the system, in (every access, nothing inherited):
    // "D:P(A;;GA;;;<user SID>)(A;;GA;;;SY)", and builds it. False when the
    // user cannot be read or the text does not convert: there is then no
    // descriptor, and a caller that wants the object private must not create
    // it with the default security instead.
    bool BuildCurrentUserOnly();

    // Frees the descriptor and sets the text back to "D:".
    void Reset();

    // The attributes: length 24, the descriptor (null until built), handles
    // not inherited.
    SECURITY_ATTRIBUTES* Get() noexcept { return &m_attributes; }
    PSECURITY_DESCRIPTOR GetDescriptor() const noexcept { return m_descriptor.Get(); }
    const OString& GetText() const noexcept { return m_text; }

private:
    SECURITY_ATTRIBUTES m_attributes{};
    OString m_text;
    OLocalMemory m_descriptor;
};

// The SID of the user this process runs as (its token's), in SDDL form such
// as "S-1-5-21-...". Empty when the token cannot be read.
OString OCurrentUserSid();

// Who may use a directory made by CreateDirectoryRecursive.
enum class ODirectoryAccess : int32_t {
    Inherit = 0,            // no descriptor: the parent's inheritable entries apply
    EveryoneRead = 1,       // everyone reads; administrators and the system have full access
    EveryoneFull = 2,       // everyone has full access
    AdministratorsOnly = 3  // (and any other value) administrators and the system only
};

// Creates the directory and any missing parents, each with the descriptor of
// the access level (any unlisted level means administrators and the system
// only). True when the directory exists afterwards; false when a level cannot
// be created. Parents made before a failure stay. Paths use backslashes; the
// walk stops at a drive root (a backslash at index 3 or less).
bool CreateDirectoryRecursive(const OString& path, int32_t access);

// The one system call of CreateDirectoryRecursive, replaceable by tests: Wine
// keeps no descriptor on directories (it reports one made from the Unix mode
// bits), so the entries each level receives can only be seen here.
struct ODirectoryApi {
    BOOL(WINAPI* createDirectory)
    (LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) = ::CreateDirectoryW;
};

// A test installs its own through OScopedDirectoryApi.
using OScopedDirectoryApi = ScopedApi<ODirectoryApi>;

// Whether the folder's owner is an administrator, the system or the user this
// process runs as: only such a folder may receive files that a privileged
// process writes, as anyone else who owns it can plant links in it. owner
// receives the owner's SID text (empty when it cannot be read, which counts as
// untrusted).
bool IsOwnedByTrustedUser(const OString& folder, OString* owner);

// What a file opened for writing turned out to be.
enum class OFileIdentity {
    Plain,         // one name, no reparse point, at the path asked for
    ReparsePoint,  // a symbolic link, junction or other reparse point
    HardLinked,    // the data has more than one name
    Elsewhere,     // the handle leads to another path (a link the attribute does not show)
    Unknown        // could not be opened or inspected
};
const char* OFileIdentityText(OFileIdentity identity);

// The queries behind the identity checks. Wine shows neither reparse points
// (its own CreateSymbolicLinkW makes nothing; a link made on the Unix side is
// followed without the attribute) nor owners other than the caller, so tests
// answer for them here.
struct OFileIdentityApi {
    // Asked for FileAttributeTagInfo and FileStandardInfo: under Wine the
    // older GetFileInformationByHandle costs about 2 ms a call, too much for
    // every line of a file log.
    decltype(&::GetFileInformationByHandleEx) getFileInformation = ::GetFileInformationByHandleEx;
    decltype(&::GetFinalPathNameByHandleW) getFinalPathName = ::GetFinalPathNameByHandleW;
    decltype(&::GetNamedSecurityInfoW) getNamedSecurityInfo = ::GetNamedSecurityInfoW;
};
using OScopedFileIdentityApi = ScopedApi<OFileIdentityApi>;

// What the open file behind handle is, path being the name it was opened by.
OFileIdentity CheckFileIdentity(HANDLE file, const OString& path);

// Opens path with CreateFileW without following a link: the name itself is
// opened (FILE_FLAG_OPEN_REPARSE_POINT) and refused unless it is a plain file
// of one name at that very path. FILE_READ_ATTRIBUTES is added to access for
// the check. On refusal the handle is closed, the last error is
// ERROR_CANT_ACCESS_FILE and identity (when given) says why; a failed open
// leaves the system's last error and Unknown.
OFileHandle OpenUnlinkedFile(const OString& path, DWORD access, DWORD share, DWORD disposition,
                             OFileIdentity* identity);
