#pragma once

// Counts a program's own calls of system functions by rewriting the entries of
// its import table: the library is linked into the benchmark program, so its
// spooler, registry, wait and socket calls all go through that table. For
// benchmarks that print how many system calls an operation makes.
//
//   QvBench::Counted<struct Tag>::Hook("GetPrinterW", &::GetPrinterW);
//   ... QvBench::Counted<struct Tag>::count ...

#include <windows.h>

#include <atomic>
#include <cstring>

namespace QvBench {

// Points every import of this program named name at replacement; the address
// it had goes to original. False when the program imports no such function.
inline bool PatchImport(const char* name, void* replacement, void** original) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool found = false;
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         module->Name != 0; ++module) {
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        const auto* named = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base +
            (module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk));
        for (; named->u1.AddressOfData != 0; ++named, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(named->u1.Ordinal)) {
                continue;
            }
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + named->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                           &protection);
            *original = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            found = true;
        }
    }
    return found;
}

// The calls of one system function (Tag tells functions of one signature
// apart).
template <typename Tag>
struct Counted {
    static inline std::atomic<long long> count{0};

    template <typename R, typename... A>
    static bool Hook(const char* name, R(WINAPI* real)(A...)) {
        Real<R, A...>() = real;
        return PatchImport(name, reinterpret_cast<void*>(&Call<R, A...>),
                           reinterpret_cast<void**>(&Real<R, A...>()));
    }

private:
    template <typename R, typename... A>
    static auto& Real() {
        static R(WINAPI * real)(A...) = nullptr;
        return real;
    }
    template <typename R, typename... A>
    static R WINAPI Call(A... arguments) {
        ++count;
        return Real<R, A...>()(arguments...);
    }
};

}  // namespace QvBench
