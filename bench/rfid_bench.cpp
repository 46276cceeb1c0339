// SGTIN-96 tags encoded and read back per second on one thread: through the
// exported RFID_EncodeEPC and QVRFID_DecodeEPC of the DLL beside this program
// (BSTR allocation and SysFreeString included, as a host pays them), through
// the encoder and reader the exports run, and through the exports by name
// (tag URI both ways, element string to tag), side by side in one run.
//
//   rfid_bench [seconds per measurement, default 2]

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
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

// Calls an export's pointer and frees its BSTR; the result's length.
template <typename Call>
size_t Length(Call call) {
    BSTR text = call();
    size_t n = SysStringLen(text);
    SysFreeString(text);
    return n;
}

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
// doing meanwhile weighs on both alike; tags per second of each. Each gets
// the index of the tag, 0 to count - 1.
template <typename Encode, typename Decode>
std::pair<double, double> MeasurePair(size_t count, double seconds, Encode encode, Decode decode) {
    double encoding = 0;
    double decoding = 0;
    size_t rounds = 0;
    size_t sink = 0;
    while (encoding + decoding < 2 * seconds) {
        double start = Now();
        for (size_t i = 0; i < count; ++i) {
            sink += encode(i);
        }
        double middle = Now();
        for (size_t i = 0; i < count; ++i) {
            sink += decode(i);
        }
        decoding += Now() - middle;
        encoding += middle - start;
        ++rounds;
    }
    if (sink == 0) {
        std::printf("(no output)\n");
    }
    const double tags = static_cast<double>(rounds * count);
    return {tags / encoding, tags / decoding};
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
        values.size(), seconds,
        [&](size_t i) { return Length([&] { return encodeEpc(values[i].c_str(), kLayout, 2); }); },
        [&](size_t i) { return Length([&] { return decodeEpc(tags[i].c_str(), kLayout, 2); }); });
    BufferSink buffer;
    EpcValueText read;
    const auto [viaEncoder, viaDecoder] = MeasurePair(
        values.size(), seconds,
        [&](size_t i) {
            EncodeEpc(values[i], kLayout, 2, buffer);
            return static_cast<size_t>(buffer.Count());
        },
        [&](size_t i) {
            DecodeEpc(tags[i], kLayout, 2, read);
            return read.size();
        });

    auto encodeUri = reinterpret_cast<QV_PFN_QVRFID_ENCODE_TAG_URI>(
        GetProcAddress(module, "QVRFID_EncodeTagURI"));
    auto toTagUri = reinterpret_cast<QV_PFN_QVRFID_DECODE_TO_TAG_URI>(
        GetProcAddress(module, "QVRFID_DecodeToTagURI"));
    auto encodeElement = reinterpret_cast<QV_PFN_QVRFID_ENCODE_ELEMENT_STRING>(
        GetProcAddress(module, "QVRFID_EncodeElementString"));
    auto toElement = reinterpret_cast<QV_PFN_QVRFID_DECODE_TO_ELEMENT_STRING>(
        GetProcAddress(module, "QVRFID_DecodeToElementString"));
    if (!encodeUri || !toTagUri || !encodeElement || !toElement) {
        std::fprintf(stderr, "rfid_bench: the exports by name are missing\n");
        return 1;
    }
    // The same tags by name: the tag URI is the values with "." for ";", the
    // element string the one the library reads from the tag.
    std::vector<std::wstring> uris;
    std::vector<std::wstring> elements;
    std::vector<int> prefixDigits;
    for (size_t i = 0; i < values.size(); ++i) {
        std::wstring uri = L"urn:epc:tag:sgtin-96:" + values[i];
        std::replace(uri.begin(), uri.end(), L';', L'.');
        uris.push_back(uri);
        BSTR element = toElement(tags[i].c_str());
        elements.emplace_back(element != nullptr ? element : L"");
        SysFreeString(element);
        prefixDigits.push_back(static_cast<int>(values[i].find(L';', 2) - 2));
    }
    // Each by name in alternate rounds with RFID_EncodeEPC, so that the ratio
    // holds whatever else the machine does.
    auto encodeByLayout = [&](size_t i) {
        return Length([&] { return encodeEpc(values[i].c_str(), kLayout, 2); });
    };
    const auto [byUri, besideUri] = MeasurePair(
        values.size(), seconds,
        [&](size_t i) { return Length([&] { return encodeUri(uris[i].c_str()); }); },
        encodeByLayout);
    const auto [toUri, besideToUri] = MeasurePair(
        values.size(), seconds,
        [&](size_t i) { return Length([&] { return toTagUri(tags[i].c_str()); }); },
        encodeByLayout);
    const auto [byElement, besideElement] = MeasurePair(
        values.size(), seconds,
        [&](size_t i) {
            return Length([&] {
                return encodeElement(L"sgtin-96", values[i][0] - L'0', prefixDigits[i],
                                     elements[i].c_str());
            });
        },
        encodeByLayout);

    std::printf("SGTIN-96 tags per second, one thread:\n");
    std::printf("  RFID_EncodeEPC export (BSTR alloc/free):   %12.0f\n", viaExport);
    std::printf("  QVRFID_DecodeEPC export (BSTR alloc/free): %12.0f   %.2f x encoding\n",
                decodeExport, decodeExport / viaExport);
    std::printf("  internal encoder:                          %12.0f\n", viaEncoder);
    std::printf("  internal reader:                           %12.0f   %.2f x encoding\n",
                viaDecoder, viaDecoder / viaEncoder);
    std::printf("  QVRFID_EncodeTagURI export:                %12.0f   %.2f x RFID_EncodeEPC\n",
                byUri, byUri / besideUri);
    std::printf("  QVRFID_DecodeToTagURI export:              %12.0f   %.2f x RFID_EncodeEPC\n",
                toUri, toUri / besideToUri);
    std::printf("  QVRFID_EncodeElementString export:         %12.0f   %.2f x RFID_EncodeEPC\n",
                byElement, byElement / besideElement);
    FreeLibrary(module);
    return 0;
}
