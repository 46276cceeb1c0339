// SGTIN-96 tags encoded per second on one thread: through the exported
// RFID_EncodeEPC of the DLL beside this program (BSTR allocation and
// SysFreeString included, as a host pays them), and through the encoder the
// export runs.
//
//   rfid_bench [seconds per measurement, default 2]

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "quorvel_driver_utility.h"
#include "rfid/epc_encoder.h"

namespace {

constexpr wchar_t kLayout[] = L"8#30;3;3#X;20:P1;44:P2;38";

// Varied tags: every partition (company prefixes of 6 to 12 digits, with the
// item reference filling the 13 digits), filters 0..7 and 38-bit serials.
std::vector<std::wstring> MakeValues(size_t count) {
    std::vector<std::wstring> values;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (size_t i = 0; i < count; ++i) {
        int prefixDigits = 6 + static_cast<int>(i % 7);
        std::wstring prefix;
        std::wstring item;
        for (int d = 0; d < prefixDigits; ++d) {
            prefix += static_cast<wchar_t>(L'0' + next() % 10);
        }
        for (int d = 0; d < 13 - prefixDigits; ++d) {
            item += static_cast<wchar_t>(L'0' + next() % 10);
        }
        values.push_back(std::to_wstring(next() % 8) + L";" + prefix + L";" + item + L";" +
                         std::to_wstring(next() % (uint64_t{1} << 38)));
    }
    return values;
}

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Runs encode over the values in rounds until the time is up; tags per second.
template <typename Encode>
double Measure(const std::vector<std::wstring>& values, double seconds, Encode encode) {
    size_t tags = 0;
    size_t sink = 0;
    double start = Now();
    double elapsed = 0;
    do {
        for (const std::wstring& value : values) {
            sink += encode(value.c_str());
        }
        tags += values.size();
        elapsed = Now() - start;
    } while (elapsed < seconds);
    if (sink == 0) {
        std::printf("(no output)\n");
    }
    return static_cast<double>(tags) / elapsed;
}

class BufferSink final : public EpcHexSink {
public:
    wchar_t* Reserve(int64_t count) override {
        m_count = count;
        return m_buffer;
    }
    int64_t Count() const { return m_count; }

private:
    wchar_t m_buffer[kEpcMaxTagBits / 4 + 1];
    int64_t m_count = 0;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (seconds <= 0) {
        seconds = 2.0;
    }

    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path, length);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"QuorvelDriverUtility.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    if (module == nullptr) {
        std::fprintf(stderr, "rfid_bench: cannot load %ls (error %lu)\n", dll.c_str(),
                     GetLastError());
        return 1;
    }
    auto encodeEpc =
        reinterpret_cast<QV_PFN_RFID_ENCODE_EPC>(GetProcAddress(module, QV_EXPORT_RFID_ENCODE_EPC));
    if (encodeEpc == nullptr) {
        std::fprintf(stderr, "rfid_bench: %s is not exported\n", QV_EXPORT_RFID_ENCODE_EPC);
        return 1;
    }

    // The tag data standard's worked example, so a broken build does not post a
    // figure.
    BSTR check = encodeEpc(L"3;0614141;812345;6789", kLayout, 2);
    bool good = check != nullptr && std::wcscmp(check, L"3074257BF7194E4000001A85") == 0;
    SysFreeString(check);
    if (!good) {
        std::fprintf(stderr, "rfid_bench: RFID_EncodeEPC gives a wrong SGTIN-96\n");
        return 1;
    }

    std::vector<std::wstring> values = MakeValues(4096);
    SetThreadAffinityMask(GetCurrentThread(), 1);

    double viaExport = Measure(values, seconds, [&](const wchar_t* v) {
        BSTR tag = encodeEpc(v, kLayout, 2);
        size_t n = SysStringLen(tag);
        SysFreeString(tag);
        return n;
    });
    BufferSink buffer;
    double viaEncoder = Measure(values, seconds, [&](const wchar_t* v) {
        EncodeEpc(v, kLayout, 2, buffer);
        return static_cast<size_t>(buffer.Count());
    });

    std::printf("SGTIN-96 tags per second, one thread:\n");
    std::printf("  RFID_EncodeEPC export (BSTR alloc/free): %12.0f\n", viaExport);
    std::printf("  internal encoder:                        %12.0f\n", viaEncoder);
    FreeLibrary(module);
    return 0;
}
