#include "core/property_set.h"

#include <memory>

OPropertySet::~OPropertySet() {
    RemoveAll();
}

int32_t OPropertySet::GetInt(const OString& name, int32_t fallback) const {
    const OString* value = Lookup(name);
    if (value == nullptr || value->IsEmpty()) {
        return fallback;
    }
    return value->ToInt();
}

bool OPropertySet::GetBool(const OString& name) const {
    return GetInt(name, 0) != 0;
}

void OPropertySet::Set(const OString& name, const OString& text) {
    int32_t index = Find(name);
    if (index >= 0) {
        OString*& value = GetValueAt(index);
        if (value != nullptr) {
            *value = text;
            return;
        }
        value = std::make_unique<OString>(text).release();
        return;
    }
    auto value = std::make_unique<OString>(text);
    Base::SetAt(name, value.get());
    value.release();
}

void OPropertySet::SetInt(const OString& name, int32_t n) {
    Set(name, OString(n));
}

void OPropertySet::RemoveAll() {
    for (int32_t i = 0; i < GetCount(); ++i) {
        // The set owns its values: each pointer is taken back into an owner.
        std::unique_ptr<OString> owned(GetValueAt(i));
        GetValueAt(i) = nullptr;
    }
    Base::RemoveAll();
}
