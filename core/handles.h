#pragma once

#include <windows.h>
#include <winsock2.h>
#include <winspool.h>

#include <utility>

// One move-only owner for every kind of OS handle, parameterised by traits:
//   struct Traits { using Type = ...; static Type Invalid(); static void Close(Type); };
template <typename Traits>
class OUniqueHandle {
public:
    using Type = typename Traits::Type;

    OUniqueHandle() noexcept = default;
    explicit OUniqueHandle(Type handle) noexcept : m_handle(handle) {}
    OUniqueHandle(const OUniqueHandle&) = delete;
    OUniqueHandle& operator=(const OUniqueHandle&) = delete;
    OUniqueHandle(OUniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    OUniqueHandle& operator=(OUniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    ~OUniqueHandle() { Reset(); }

    Type Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != Traits::Invalid(); }

    // Gives up ownership without closing.
    Type Release() noexcept { return std::exchange(m_handle, Traits::Invalid()); }
    void Reset(Type handle = Traits::Invalid()) noexcept {
        Type old = std::exchange(m_handle, handle);
        if (old != Traits::Invalid()) {
            Traits::Close(old);
        }
    }
    // Closes the current handle and exposes the slot for an out-parameter.
    Type* Put() noexcept {
        Reset();
        return &m_handle;
    }

private:
    Type m_handle = Traits::Invalid();
};

namespace OHandleTraits {
// Mutexes, events, processes, threads: failure is a null handle.
struct Kernel {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};
// Files and pipes: failure is INVALID_HANDLE_VALUE.
struct File {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct RegKey {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};
struct Module {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};
struct Socket {
    using Type = SOCKET;
    static Type Invalid() { return INVALID_SOCKET; }
    static void Close(Type h) { ::closesocket(h); }
};
// Only for printers the library opened itself; a host's handle is borrowed.
struct Printer {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::ClosePrinter(h); }
};
struct LocalMemory {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::LocalFree(h); }
};
struct DeviceContext {
    using Type = HDC;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DeleteDC(h); }
};
}  // namespace OHandleTraits

using OKernelHandle = OUniqueHandle<OHandleTraits::Kernel>;
using OFileHandle = OUniqueHandle<OHandleTraits::File>;
using ORegKey = OUniqueHandle<OHandleTraits::RegKey>;
using OModule = OUniqueHandle<OHandleTraits::Module>;
using OSocket = OUniqueHandle<OHandleTraits::Socket>;
using OPrinterHandle = OUniqueHandle<OHandleTraits::Printer>;
using OLocalMemory = OUniqueHandle<OHandleTraits::LocalMemory>;
using ODeviceContext = OUniqueHandle<OHandleTraits::DeviceContext>;

// Runs a cleanup at scope exit unless dismissed.
template <typename F>
class OScopeGuard {
public:
    explicit OScopeGuard(F cleanup) : m_cleanup(std::move(cleanup)) {}
    OScopeGuard(const OScopeGuard&) = delete;
    OScopeGuard& operator=(const OScopeGuard&) = delete;
    ~OScopeGuard() {
        if (m_active) {
            m_cleanup();
        }
    }
    void Dismiss() noexcept { m_active = false; }

private:
    F m_cleanup;
    bool m_active = true;
};
