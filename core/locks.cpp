#include "core/locks.h"

#include "core/security.h"

OCriticalSection::OCriticalSection() : m_section(std::make_unique<CRITICAL_SECTION>()) {
    ::InitializeCriticalSection(m_section.get());
}

OCriticalSection::~OCriticalSection() {
    ::DeleteCriticalSection(m_section.get());
}

bool OCriticalSection::Lock() {
    ::EnterCriticalSection(m_section.get());
    return true;
}

void OCriticalSection::Unlock() {
    ::LeaveCriticalSection(m_section.get());
}

OMutex::OMutex(const OString& name, uint32_t timeoutMs) : m_timeoutMs(timeoutMs), m_name(name) {}

bool OMutex::Create() {
    OSecurityAttributes attributes;
    attributes.Append(kEveryoneEntry);
    // Should the text not convert, the null descriptor in the attributes still
    // creates a usable mutex, only with default security.
    attributes.Build();
    // CreateMutexW opens an existing mutex of that name (ERROR_ALREADY_EXISTS)
    // instead of failing, which is how processes come to share one.
    const wchar_t* name = m_name.IsEmpty() ? nullptr : m_name.GetWide();
    m_handle.Reset(::CreateMutexW(attributes.Get(), FALSE, name));
    return static_cast<bool>(m_handle);
}

bool OMutex::Lock() {
    return Acquire(m_timeoutMs) == Wait::Owned;
}

OMutex::Wait OMutex::Acquire(uint32_t timeoutMs) {
    try {
        if (!m_handle && !Create()) {
            return Wait::Failed;
        }
    } catch (...) {
        // Building the descriptor text can only fail for memory; the caller
        // goes on without the mutex as after any other failed creation.
        return Wait::Failed;
    }
    switch (::WaitForSingleObject(m_handle.Get(), timeoutMs)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            return Wait::Owned;
        case WAIT_TIMEOUT:
            return Wait::TimedOut;
        default:
            return Wait::Failed;
    }
}

void OMutex::Unlock() {
    if (m_handle) {
        ::ReleaseMutex(m_handle.Get());
    }
}
