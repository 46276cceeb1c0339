#include "fuzz.h"
#include "registry/registry_path.h"

using namespace RegistryPath;

// A name, a key path, an alias and its replacement.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const std::wstring raw = in.Wide();
    const OString name(raw.c_str());
    FUZZ_CHECK(UnescapeName(EscapeName(name)) == name);

    // The name as a caller writes it ("%%", "//", "::") comes back whole from
    // any key; '\' is a separator in written text.
    std::wstring written;
    for (wchar_t c : raw) {
        written += c == L'%' || c == L'/' || c == L':' ? std::wstring(2, c) : std::wstring(1, c);
    }
    OString key(in.Wide().c_str());
    OString value(written.c_str());
    if (SplitValuePath(key, value) && !raw.empty() && raw.find(L'\\') == std::wstring::npos) {
        FUZZ_CHECK(value == name);
    }

    OString path = JoinKey(key, EscapeName(name));
    ReplaceRoot(path, OString(in.Wide().c_str()), OString(in.Wide().c_str()));
    ResolveStandardRoots(path);
    int32_t hive = -1;
    OString subkey;
    if (SplitRoot(path, hive, subkey)) {
        FUZZ_CHECK(hive >= kClassesRoot && hive <= kUsers && !subkey.IsEmpty());
        FUZZ_CHECK(subkey.LastChar() != "\\");
    }
    return 0;
}
