#pragma once

// Links that Wine cannot make, shown through the file-identity seam: a
// reparse point's attribute, and a final path that leads elsewhere (what a
// link made on the Unix side looks like).

#include <windows.h>

#include "core/security.h"

namespace QvTest {

struct LinkSeam {
    static inline bool reparse = false;
    static inline bool elsewhere = false;

    static BOOL WINAPI Information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data,
                                   DWORD size) {
        BOOL ok = ::GetFileInformationByHandleEx(file, kind, data, size);
        if (kind == FileAttributeTagInfo && reparse) {
            static_cast<FILE_ATTRIBUTE_TAG_INFO*>(data)->FileAttributes |=
                FILE_ATTRIBUTE_REPARSE_POINT;
        }
        return ok;
    }
    static DWORD WINAPI FinalPath(HANDLE file, LPWSTR buffer, DWORD chars, DWORD flags) {
        return elsewhere ? ::GetFullPathNameW(L"C:\\windows\\win.ini", chars, buffer, nullptr)
                         : ::GetFinalPathNameByHandleW(file, buffer, chars, flags);
    }
    // The real functions, with these two answering as set above.
    static OFileIdentityApi Api() {
        OFileIdentityApi api;
        api.getFileInformation = &Information;
        api.getFinalPathName = &FinalPath;
        return api;
    }
};

}  // namespace QvTest
