#include "core/arrays.h"

#include <cstdlib>
#include <cstring>
#include <new>

// Elements are relocated by copying their body pointers: an OString is one
// pointer wide and zero bits are the empty string.
static_assert(sizeof(OString) == sizeof(void*));

void OStringArray::SetSize(int32_t count) {
    if (count < 0) {
        count = 0;
    }
    if (count == 0) {
        RemoveAll();
        return;
    }
    if (count > m_capacity) {
        int32_t capacity = count;
        if (m_data != nullptr) {
            int64_t wanted = static_cast<int64_t>(m_capacity) + OArrayGrowStep(m_growBy, m_count);
            if (wanted > count) {
                capacity = wanted > INT32_MAX ? INT32_MAX : static_cast<int32_t>(wanted);
            }
        }
        void* storage = std::calloc(static_cast<size_t>(capacity), sizeof(OString));
        if (storage == nullptr) {
            throw std::bad_alloc();
        }
        if (m_count > 0) {
            std::memcpy(storage, static_cast<void*>(m_data),
                        static_cast<size_t>(m_count) * sizeof(OString));
        }
        std::free(m_data);
        m_data = static_cast<OString*>(storage);
        m_capacity = capacity;
    }
    for (int32_t i = count; i < m_count; ++i) {
        m_data[i] = OString();
    }
    m_count = count;
}

void OStringArray::SetAtGrow(int32_t index, const OString& value) {
    if (index < 0) {
        return;
    }
    if (index >= m_count) {
        OString keep(value);  // value may live in this array's storage
        SetSize(index + 1);
        m_data[index] = keep;
        return;
    }
    m_data[index] = value;
}

void OStringArray::InsertAt(int32_t index, const OString& value) {
    if (index < 0) {
        index = 0;
    }
    OString keep(value);
    if (index >= m_count) {
        SetSize(index + 1);
        m_data[index] = keep;
        return;
    }
    int32_t old = m_count;
    SetSize(old + 1);
    // The last slot is empty (no body), so moving the pointers up leaks nothing.
    std::memmove(static_cast<void*>(m_data + index + 1), static_cast<void*>(m_data + index),
                 static_cast<size_t>(old - index) * sizeof(OString));
    std::memset(static_cast<void*>(m_data + index), 0, sizeof(OString));
    m_data[index] = keep;
}

void OStringArray::RemoveAt(int32_t index, int32_t count) {
    if (index < 0 || index >= m_count || count <= 0) {
        return;
    }
    if (count > m_count - index) {
        count = m_count - index;
    }
    for (int32_t i = index; i < index + count; ++i) {
        m_data[i] = OString();
    }
    std::memmove(static_cast<void*>(m_data + index), static_cast<void*>(m_data + index + count),
                 static_cast<size_t>(m_count - index - count) * sizeof(OString));
    std::memset(static_cast<void*>(m_data + m_count - count), 0,
                static_cast<size_t>(count) * sizeof(OString));
    m_count -= count;
}

void OStringArray::RemoveAll() {
    for (int32_t i = 0; i < m_count; ++i) {
        m_data[i].~OString();
    }
    std::free(m_data);
    m_data = nullptr;
    m_count = m_capacity = 0;
}

void OStringArray::CopyFrom(const OStringArray& source, int32_t first, int32_t count) {
    if (&source == this && (first > 0 || count >= 0)) {
        // Shrinking to the range would release elements the range still holds.
        OStringArray copy(*this);
        CopyFrom(copy, first, count);
        return;
    }
    if (first < 0) {
        first = 0;
    }
    if (count < 0 || count > source.m_count - first) {
        count = source.m_count - first;
    }
    if (count <= 0) {
        RemoveAll();
        return;
    }
    SetSize(count);
    for (int32_t i = 0; i < count; ++i) {
        m_data[i] = source.m_data[first + i];
    }
}
