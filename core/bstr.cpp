#include "core/bstr.h"

BSTR OStringToBstr(const OString& text) {
    if (text.IsEmpty()) {
        return nullptr;
    }
    return ::SysAllocString(text.GetWide());
}
