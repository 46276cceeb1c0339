#include <cstring>
#include <memory>

#include "core/arrays.h"
#include "fuzz.h"

// Each step a byte picking an operation, then its arguments. After every
// step the two forms must still be conversions of each other, the length that
// of the working form, and a copy taken before the step untouched.
namespace {

using S = OString;
using In = FuzzInput;

constexpr uint32_t kPages[] = {
    S::kCodePageAnsi, S::kCodePageUtf8, S::kCodePageBytes, 1252, 65001, 932};

// Cut at an ASCII delimiter and joined again, the text is the same.
void SplitAndJoin(const S& s, char delimiter) {
    const char text[2] = {delimiter, '\0'};
    OStringArray pieces;
    S::Split(pieces, s, text);
    S joined;
    joined.SetCodePage(s.GetCodePage());
    for (int32_t i = 0; i < pieces.GetCount(); ++i) {
        joined += i > 0 ? text : "";
        joined += pieces[i];
    }
    FUZZ_CHECK(joined == s);
}

void (*const kSteps[])(S&, In&) = {
    [](S& s, In& in) { s.Append(in.Narrow().c_str()); },
    [](S& s, In& in) { s.Append(in.Wide().c_str()); },
    [](S& s, In& in) { s.Append(static_cast<char>(in.Byte())); },
    [](S& s, In& in) { s.Append(in.Small() * (int64_t{1} << in.Byte() % 48)); },
    [](S& s, In& in) { s.Insert(in.Small(), in.Narrow().c_str(), in.Small()); },
    [](S& s, In& in) { s.Insert(in.Small(), s.Mid(in.Small())); },
    [](S& s, In& in) { s.Delete(in.Small(), in.Small()); },
    [](S& s, In& in) { s.Truncate(in.Small()); },
    [](S& s, In& in) { s = s.Mid(in.Small(), in.Small()); },
    [](S& s, In& in) { s.Replace(S(in.Wide().c_str()), S(in.Narrow().c_str())); },
    [](S& s, In& in) { s.Trim(S(in.Narrow().c_str())); },
    [](S& s, In& in) { in.Byte() & 1 ? s.MakeUpper() : s.MakeLower(); },
    [](S& s, In& in) { s.SetCodePage(kPages[in.Byte() % std::size(kPages)]); },
    [](S& s, In& in) { s.PadLeftZeros(in.Small()); },
    [](S& s, In& in) { s = in.Narrow().c_str(); },
    [](S& s, In& in) { in.Byte() & 1 ? (void)s.GetNarrow() : (void)s.GetWide(); },
    [](S& s, In&) { FUZZ_CHECK(s.Compare(S(s)) == 0 && s.CompareNoCase(s) == 0); },
    [](S& s, In& in) { FUZZ_CHECK(s.Find(in.Narrow().c_str(), in.Small()) < s.GetLength() + 1); },
    [](S& s, In& in) { SplitAndJoin(s, static_cast<char>(in.Byte() % 0x7F + 1)); },
};

void CheckForms(const S& s) {
    const char* narrow = s.GetNarrow();
    const wchar_t* wide = s.GetWide();
    std::unique_ptr<char[]> narrowed = OCodePage::NewNarrow(wide, s.GetCodePage(), 0);
    std::unique_ptr<wchar_t[]> widened = OCodePage::NewWide(narrow, s.GetCodePage(), 0);
    FUZZ_CHECK(!narrowed || !widened || std::strcmp(narrowed.get(), narrow) == 0 ||
               S::StrCmp(widened.get(), wide) == 0);
    FUZZ_CHECK(s.GetLength() == (s.PrefersWide() ? S::StrLen(wide) : S::StrLen(narrow)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    S s;
    s.SetCodePage(kPages[in.Byte() % std::size(kPages)]);
    while (in.More()) {
        if (s.GetLength() > 4096) {  // a doubling step repeated
            s.Truncate(64);
        }
        const S copy = s;
        const std::wstring before = copy.GetWide();
        kSteps[in.Byte() % std::size(kSteps)](s, in);
        CheckForms(s);
        FUZZ_CHECK(before == copy.GetWide());
    }
    return 0;
}
