// SGTIN-96 tags encoded and read back per second on one thread: through the
// exported RFID_EncodeEPC and QVRFID_DecodeEPC of the DLL beside this program
// (BSTR allocation and SysFreeString included, as a host pays them), and
// through the encoder and reader the exports run, side by side in one run.
//
//   rfid_bench [seconds per measurement, default 2]

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <utility>
#include <string>
#include <vector>

#include "quorvel_driver_utility.h"
#include "rfid/epc_decoder.h"
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

// Encoding and reading back in alternate rounds, so that what the machine is
// doing meanwhile weighs on both alike; tags per second of each.
template <typename Encode, typename Decode>
std::pair<double, double> MeasurePair(const std::vector<std::wstring>& values,
                                      const std::vector<std::wstring>& tags, double seconds,
                                      Encode encode, Decode decode) {
    double encoding = 0;
    double decoding = 0;
    size_t rounds = 0;
    size_t sink = 0;
    while (encoding + decoding < 2 * seconds) {
        double start = Now();
        for (const std::wstring& value : values) {
            sink += encode(value.c_str());
        }
        double middle = Now();
        for (const std::wstring& tag : tags) {
            sink += decode(tag.c_str());
        }
        decoding += Now() - middle;
        encoding += middle - start;
        ++rounds;
    }
    if (sink == 0) {
        std::printf("(no output)\n");
    }
    const double count = static_cast<double>(rounds * values.size());
    return {count / encoding, count / decoding};
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

    auto decodeEpc = reinterpret_cast<decltype(&QVRFID_DecodeEPC)>(
        reinterpret_cast<void*>(GetProcAddress(module, "QVRFID_DecodeEPC")));
    if (decodeEpc == nullptr) {
        std::fprintf(stderr, "rfid_bench: QVRFID_DecodeEPC is not exported\n");
        return 1;
    }
    std::vector<std::wstring> tags;
    for (const std::wstring& value : values) {
        BSTR tag = encodeEpc(value.c_str(), kLayout, 2);
        tags.emplace_back(tag != nullptr ? tag : L"");
        SysFreeString(tag);
    }
    const auto [viaExport, decodeExport] = MeasurePair(
        values, tags, seconds,
        [&](const wchar_t* v) {
            BSTR tag = encodeEpc(v, kLayout, 2);
            size_t n = SysStringLen(tag);
            SysFreeString(tag);
            return n;
        },
        [&](const wchar_t* tag) {
            BSTR read = decodeEpc(tag, kLayout, 2);
            size_t n = SysStringLen(read);
            SysFreeString(read);
            return n;
        });
    BufferSink buffer;
    EpcValueText read;
    const auto [viaEncoder, viaDecoder] = MeasurePair(
        values, tags, seconds,
        [&](const wchar_t* v) {
            EncodeEpc(v, kLayout, 2, buffer);
            return static_cast<size_t>(buffer.Count());
        },
        [&](const wchar_t* tag) {
            DecodeEpc(tag, kLayout, 2, read);
            return read.size();
        });

    std::printf("SGTIN-96 tags per second, one thread:\n");
    std::printf("  RFID_EncodeEPC export (BSTR alloc/free):   %12.0f\n", viaExport);
    std::printf("  QVRFID_DecodeEPC export (BSTR alloc/free): %12.0f   %.2f x encoding\n",
                decodeExport, decodeExport / viaExport);
    std::printf("  internal encoder:                          %12.0f\n", viaEncoder);
    std::printf("  internal reader:                           %12.0f   %.2f x encoding\n",
                viaDecoder, viaDecoder / viaEncoder);
    FreeLibrary(module);
    return 0;
}
