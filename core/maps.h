#pragma once

#include <cstdint>

#include "core/arrays.h"
#include "core/ostring.h"

// CRC-32 (IEEE 802.3) of the key's narrow form including its terminating NUL.
uint32_t OStringHash(const OString& key);

// Position of hash h among count hashes kept in descending order: the first
// entry whose hash is <= h, where an entry of hash h belongs. The search starts
// where an even spread of hashes would put h.
int32_t OHashPosition(const unsigned long* hashes, int32_t count, uint32_t h);

// Values and their keys' hashes in two parallel arrays, in descending hash
// order. Does not own pointer values.
template <typename T>
class OHashMap {
public:
    OHashMap() = default;
    OHashMap(const OHashMap&) = delete;
    OHashMap& operator=(const OHashMap&) = delete;
    virtual ~OHashMap() = default;

    int32_t GetCount() const { return m_values.GetCount(); }
    const unsigned long* GetHashes() const { return m_hashes.GetData(); }

protected:
    OTypedArray<T> m_values;
    OTypedArray<unsigned long> m_hashes;
};

// Case-sensitive map from OString keys to values. Entries with equal hashes
// stand together, and keys are compared only among them, so two keys with one
// CRC-32 keep separate entries.
template <typename T>
class OStringMap : private OHashMap<T> {
    using Base = OHashMap<T>;

public:
    OStringMap() = default;
    ~OStringMap() override = default;

    using Base::GetCount;
    using Base::GetHashes;

    // Index of the key's entry, or -1.
    int32_t Find(const OString& key) const {
        uint32_t h = OStringHash(key);
        int32_t count = GetCount();
        for (int32_t i = OHashPosition(GetHashes(), count, h); i < count && this->m_hashes[i] == h;
             ++i) {
            if (m_keys[i].Compare(key) == 0) {
                return i;
            }
        }
        return -1;
    }

    // An existing entry takes the value (the old one is not freed); otherwise a
    // new entry is inserted at its hash's position.
    void SetAt(const OString& key, const T& value) {
        uint32_t h = OStringHash(key);
        int32_t count = GetCount();
        int32_t position = OHashPosition(GetHashes(), count, h);
        for (int32_t i = position; i < count && this->m_hashes[i] == h; ++i) {
            if (m_keys[i].Compare(key) == 0) {
                this->m_values[i] = value;
                return;
            }
        }
        // The key goes in first: its array throws when it cannot grow, and
        // then nothing has changed yet. The plain arrays fail silently, so
        // they are checked and the entry rolled back, keeping the three arrays
        // in step (a caller that frees its value on failure must not leave the
        // map pointing at it).
        int32_t before = count;
        m_keys.InsertAt(position, key);
        this->m_values.InsertAt(position, value);
        this->m_hashes.InsertAt(position, h);
        if (this->m_values.GetCount() != before + 1 || this->m_hashes.GetCount() != before + 1) {
            if (this->m_values.GetCount() == before + 1) {
                this->m_values.RemoveAt(position);
            }
            if (this->m_hashes.GetCount() == before + 1) {
                this->m_hashes.RemoveAt(position);
            }
            m_keys.RemoveAt(position);
            throw std::bad_alloc();
        }
    }

    // The key's value, or fallback when the key is absent or its value is empty.
    T Lookup(const OString& key, const T& fallback = T()) const {
        int32_t i = Find(key);
        if (i < 0 || !this->m_values[i]) {
            return fallback;
        }
        return this->m_values[i];
    }

    void RemoveAt(int32_t index) {
        if (index < 0 || index >= GetCount()) {
            return;
        }
        this->m_values.RemoveAt(index);
        this->m_hashes.RemoveAt(index);
        m_keys.RemoveAt(index);
    }

    // Values are not freed.
    void RemoveAll() {
        this->m_values.RemoveAll();
        this->m_hashes.RemoveAll();
        m_keys.RemoveAll();
    }

    const OString& GetKeyAt(int32_t index) const { return m_keys[index]; }
    T& GetValueAt(int32_t index) { return this->m_values[index]; }
    const T& GetValueAt(int32_t index) const { return this->m_values[index]; }

private:
    OStringArray m_keys;
};
