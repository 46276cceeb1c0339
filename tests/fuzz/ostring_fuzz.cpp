#include <cstring>
#include <memory>

#include "core/arrays.h"
#include "fuzz.h"

// Each step a byte picking an operation, then its arguments. After every
// step the two forms must still be conversions of each other, the length that
// of the working form, and a copy taken before the step untouched.
namespace {

constexpr uint32_t kPages[] = {
    OString::kCodePageAnsi, OString::kCodePageUtf8, OString::kCodePageBytes, 1252, 65001, 932};

void CheckForms(const OString& s) {
    const char* narrow = s.GetNarrow();
    const wchar_t* wide = s.GetWide();
    std::unique_ptr<char[]> narrowed = OCodePage::NewNarrow(wide, s.GetCodePage(), 0);
    std::unique_ptr<wchar_t[]> widened = OCodePage::NewWide(narrow, s.GetCodePage(), 0);
    FUZZ_CHECK(!narrowed || !widened || std::strcmp(narrowed.get(), narrow) == 0 ||
               OString::StrCmp(widened.get(), wide) == 0);
    FUZZ_CHECK(s.GetLength() ==
               (s.PrefersWide() ? OString::StrLen(wide) : OString::StrLen(narrow)));
}

void Step(OString& s, FuzzInput& in) {
    const uint8_t op = in.Byte();
    switch (op % 20) {
        case 0:
            s.Append(in.Narrow().c_str());
            break;
        case 1:
            s.Append(in.Wide().c_str());
            break;
        case 2:
            s.Append(static_cast<char>(in.Byte()));
            break;
        case 3:
            op & 32 ? s.Append(static_cast<int64_t>(in.Small()) << 40) : s.Append(in.Small());
            break;
        case 4:
            s.Insert(in.Small(), in.Narrow().c_str(), in.Small());
            break;
        case 5:
            s.Insert(in.Small(), in.Wide().c_str(), in.Small());
            break;
        case 6:
            s.Delete(in.Small(), in.Small());
            break;
        case 7:
            s.Truncate(in.Small());
            break;
        case 8:
            s = op & 32 ? s.Mid(in.Small(), in.Small()) : s.Left(in.Small());
            break;
        case 9:
            s.Replace(OString(in.Wide().c_str()), OString(in.Narrow().c_str()));
            break;
        case 10:
            op & 32 ? s.TrimLeft(OString(in.Narrow().c_str())) : s.TrimRight();
            break;
        case 11:
            op & 32 ? s.MakeUpper() : s.MakeLower();
            break;
        case 12:
            s.SetCodePage(kPages[in.Byte() % std::size(kPages)]);
            break;
        case 13:
            s.PadLeftZeros(in.Small());
            break;
        case 14:
            s = op & 32 ? in.Narrow().c_str() : OString(in.Wide().c_str());
            break;
        case 15:
            op & 32 ? (void)s.GetNarrow() : (void)s.GetWide();
            break;
        case 16:
            s.Insert(in.Small(), s.Mid(in.Small()));
            break;
        case 17:
            FUZZ_CHECK(s.Compare(OString(s)) == 0 && s.CompareNoCase(s) == 0);
            break;
        case 18: {
            const int32_t found = s.Find(in.Narrow().c_str(), in.Small());
            FUZZ_CHECK(found >= -1 && found < s.GetLength() + 1);
            break;
        }
        default: {
            // Cut at an ASCII delimiter and joined again, the text is the same.
            const char delimiter[2] = {static_cast<char>(in.Byte() % 0x7F + 1), '\0'};
            OStringArray pieces;
            OString::Split(pieces, s, delimiter);
            OString joined;
            joined.SetCodePage(s.GetCodePage());
            for (int32_t i = 0; i < pieces.GetCount(); ++i) {
                joined += i > 0 ? delimiter : "";
                joined += pieces[i];
            }
            FUZZ_CHECK(joined == s);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    OString s;
    s.SetCodePage(kPages[in.Byte() % std::size(kPages)]);
    while (in.More()) {
        if (s.GetLength() > 4096) {  // a doubling step repeated
            s.Truncate(64);
        }
        const OString copy = s;
        const std::wstring before = copy.GetWide();
        Step(s, in);
        CheckForms(s);
        FUZZ_CHECK(before == copy.GetWide());
    }
    return 0;
}
