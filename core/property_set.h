#pragma once

#include <cstdint>

#include "core/maps.h"
#include "core/ostring.h"

// Case-sensitive set of named text properties with integer and boolean views.
// The set allocates and owns every value object; the map operations that would
// store or drop a value behind its back are hidden. Not thread-safe: an owner
// shared between threads guards it (the settings cache does so with its
// OCriticalSection). Only allocation failure throws.
class OPropertySet : public OStringMap<OString*> {
    using Base = OStringMap<OString*>;

public:
    OPropertySet() = default;
    ~OPropertySet() override;

    // Inherited: Lookup(name, fallback = nullptr) gives the value object of the
    // name, or fallback when it is absent. The object stays owned by the set.
    using Base::Lookup;

    // ToInt of the value; fallback when the name is absent or its text empty.
    int32_t GetInt(const OString& name, int32_t fallback) const;
    // GetInt(name, 0) != 0.
    bool GetBool(const OString& name) const;

    // An existing value takes the text (sharing its body); otherwise a new
    // value object holding the text is added under the name.
    void Set(const OString& name, const OString& text);
    // Set with the decimal text of n.
    void SetInt(const OString& name, int32_t n);

    // Deletes every value and empties keys, hashes and values.
    void RemoveAll();

private:
    using Base::RemoveAt;
    using Base::SetAt;
};
