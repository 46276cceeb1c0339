#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/ostring.h"

// Growth step of an array that has no fixed grow-by: an eighth of the count,
// between 4 and 1024 elements.
inline int32_t OArrayGrowStep(int32_t growBy, int32_t count) {
    if (growBy > 0) {
        return growBy;
    }
    int32_t step = count / 8;
    if (step < 4) {
        return 4;
    }
    return step > 1024 ? 1024 : step;
}

// Untyped growable array of N-byte elements. Elements are raw bytes: new room is
// zero-filled and nothing is destroyed, so an owner keeping objects with
// destructors releases them itself. Indices are not checked.
template <int N>
class OBaseArray {
public:
    OBaseArray() = default;
    OBaseArray(const OBaseArray&) = delete;
    OBaseArray& operator=(const OBaseArray&) = delete;
    virtual ~OBaseArray() { std::free(m_data); }

    int32_t GetCount() const { return m_count; }
    int32_t GetCapacity() const { return m_capacity; }
    int32_t GetGrowBy() const { return m_growBy; }
    // 0 selects the automatic step.
    void SetGrowBy(int32_t growBy) { m_growBy = growBy < 0 ? 0 : growBy; }

    // Growth that cannot be allocated leaves the array as it was.
    void SetSize(int32_t count) {
        if (count < 0) {
            count = 0;
        }
        if (count == 0) {
            std::free(m_data);
            m_data = nullptr;
            m_count = m_capacity = 0;
            return;
        }
        if (m_data == nullptr) {
            auto* data = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(count), N));
            if (data == nullptr) {
                return;
            }
            m_data = data;
            m_count = m_capacity = count;
            return;
        }
        if (count > m_capacity) {
            int64_t wanted = static_cast<int64_t>(m_capacity) + OArrayGrowStep(m_growBy, m_count);
            int32_t capacity = count > wanted
                                   ? count
                                   : static_cast<int32_t>(wanted > INT32_MAX ? INT32_MAX : wanted);
            auto* data =
                static_cast<uint8_t*>(std::realloc(m_data, static_cast<size_t>(capacity) * N));
            if (data == nullptr) {
                return;
            }
            m_data = data;
            m_capacity = capacity;
        }
        if (count > m_count) {
            std::memset(m_data + static_cast<size_t>(m_count) * N, 0,
                        static_cast<size_t>(count - m_count) * N);
        }
        m_count = count;
    }

    void RemoveAll() { SetSize(0); }

    // Opens a zero-filled slot at index (growing to index + 1 when it lies
    // beyond the end); false when the array could not grow.
    bool InsertSlot(int32_t index) {
        if (index < 0) {
            index = 0;
        }
        if (index >= m_count) {
            SetSize(index + 1);
            return m_count == index + 1;
        }
        int32_t old = m_count;
        SetSize(old + 1);
        if (m_count != old + 1) {
            return false;
        }
        std::memmove(ElementAt(index + 1), ElementAt(index), static_cast<size_t>(old - index) * N);
        std::memset(ElementAt(index), 0, N);
        return true;
    }

    // Removes count elements at index (clamped to the elements present).
    void RemoveAt(int32_t index, int32_t count = 1) {
        if (index < 0 || index >= m_count || count <= 0) {
            return;
        }
        if (count > m_count - index) {
            count = m_count - index;
        }
        std::memmove(ElementAt(index), ElementAt(index + count),
                     static_cast<size_t>(m_count - index - count) * N);
        m_count -= count;
    }

protected:
    uint8_t* ElementAt(int32_t index) const { return m_data + static_cast<size_t>(index) * N; }

    uint8_t* m_data = nullptr;
    int32_t m_count = 0;
    int32_t m_capacity = 0;
    int32_t m_growBy = 0;
};

// Typed view of OBaseArray. T must be valid when zero-filled and relocatable by
// copying its bytes (plain values, pointers, shared pointers).
template <typename T>
class OTypedArray : public OBaseArray<sizeof(T)> {
    using Base = OBaseArray<sizeof(T)>;

public:
    T& operator[](int32_t index) { return *reinterpret_cast<T*>(this->ElementAt(index)); }
    const T& operator[](int32_t index) const {
        return *reinterpret_cast<const T*>(this->ElementAt(index));
    }
    T* GetData() { return reinterpret_cast<T*>(this->m_data); }
    const T* GetData() const { return reinterpret_cast<const T*>(this->m_data); }

    void SetAtGrow(int32_t index, const T& value) {
        if (index < 0) {
            return;
        }
        if (index >= this->m_count) {
            T keep = value;  // value may live in the storage that growth moves
            Base::SetSize(index + 1);
            if (index >= this->m_count) {
                return;
            }
            (*this)[index] = keep;
            return;
        }
        (*this)[index] = value;
    }
    void Add(const T& value) { SetAtGrow(this->m_count, value); }
    void InsertAt(int32_t index, const T& value) {
        if (index < 0) {
            index = 0;
        }
        T keep = value;  // value may live in the storage that growth moves
        if (Base::InsertSlot(index)) {
            (*this)[index] = keep;
        }
    }
    // Elements assigned one by one from another array's range.
    void CopyFrom(const OTypedArray& source, int32_t first = 0, int32_t count = -1) {
        if (first < 0) {
            first = 0;
        }
        if (count < 0 || count > source.GetCount() - first) {
            count = source.GetCount() - first;
        }
        Base::SetSize(count > 0 ? count : 0);
        for (int32_t i = 0; i < this->m_count; ++i) {
            (*this)[i] = source[first + i];
        }
    }
};

// Array of OString handles; owns one reference to each element's body. Growth
// raises std::bad_alloc instead of failing silently.
class OStringArray {
public:
    OStringArray() = default;
    OStringArray(const OStringArray& other) : OStringArray() { CopyFrom(other); }
    OStringArray& operator=(const OStringArray& other) {
        if (this != &other) {
            CopyFrom(other);
        }
        return *this;
    }
    virtual ~OStringArray() { RemoveAll(); }

    int32_t GetCount() const { return m_count; }
    int32_t GetCapacity() const { return m_capacity; }
    void SetGrowBy(int32_t growBy) { m_growBy = growBy < 0 ? 0 : growBy; }

    OString& operator[](int32_t index) { return m_data[index]; }
    const OString& operator[](int32_t index) const { return m_data[index]; }

    void SetSize(int32_t count);
    void SetAtGrow(int32_t index, const OString& value);
    void Add(const OString& value) { SetAtGrow(m_count, value); }
    void InsertAt(int32_t index, const OString& value);
    void RemoveAt(int32_t index, int32_t count = 1);
    void RemoveAll();
    void CopyFrom(const OStringArray& source, int32_t first = 0, int32_t count = -1);

private:
    OString* m_data = nullptr;
    int32_t m_count = 0;
    int32_t m_capacity = 0;
    int32_t m_growBy = 0;
};
