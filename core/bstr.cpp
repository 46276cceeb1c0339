#include "core/bstr.h"

#include <new>

BSTR OStringToBstr(const OString& text) {
    if (text.IsEmpty()) {
        return nullptr;
    }
    return ::SysAllocString(text.GetWide());
}

BSTR OWideToBstr(std::wstring_view text) {
    if (text.empty()) {
        return nullptr;
    }
    BSTR result = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (result == nullptr) {
        throw std::bad_alloc();
    }
    return result;
}
