#pragma once

// Short conversions for expectations: the library's strings to and from the
// standard ones, and facts of this machine that several suites compare with.

#include <windows.h>

#include <string>

#include "core/arrays.h"
#include "core/ostring.h"

namespace QvTest {

inline const auto W = [](const OString& s) { return std::wstring(s.GetWide()); };
inline const auto O = [](const std::wstring& s) { return OString(s.c_str()); };
inline const auto N = [](const std::wstring& s) { return std::string(O(s).GetNarrow()); };

// The elements of an array in their narrow form, joined by separator.
inline std::string Joined(const OStringArray& array, const char* separator = ",") {
    std::string joined;
    for (int32_t i = 0; i < array.GetCount(); ++i) {
        joined += (i == 0 ? "" : separator) + std::string(array[i].GetNarrow());
    }
    return joined;
}

inline std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(name, &chars);
    return name;
}

}  // namespace QvTest
