#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>

#include "core/code_page.h"

class OStringArray;

// Windows' LONG and DWORD: 32-bit, yet types of their own. Where long is 64-bit
// it is int64_t, and overloads for it would repeat those of int64_t.
template <typename T, typename Long>
concept OWindowsLong = std::same_as<T, Long> && sizeof(Long) == 4;

// The shared body of an OString. A form is either absent (null) or holds the
// whole text; the missing form is made on first request. A reader that finds
// a form absent builds it in a buffer of its own and publishes that buffer
// with one compare-exchange, the loser freeing its own, so any number of
// threads may read copies of one body at once and no buffer a reader was
// handed is written or freed while the body is shared. Only a body that is not
// shared is changed.
struct OStringBody {
    std::atomic<int32_t> refs{1};
    // At least capacity * 2 bytes, or capacity * 4 for UTF-8; more when a
    // conversion into a page of three bytes a unit needed it.
    std::atomic<char*> narrow{nullptr};
    std::atomic<wchar_t*> wide{nullptr};  // at least capacity units
    uint64_t capacity = 0;                // characters per buffer, terminating NUL included
    uint32_t codePage = 0;                // of the narrow form; 0 = system ANSI code page
};

// Reference-counted, copy-on-write text with a narrow (code page) and a wide
// (UTF-16) form. A default string has no body and is empty. Copies share the
// body; every change clones a shared body first, and reading converts without
// writing into anything another reader sees, so copies handed to other threads
// are safe and any number of threads may read one string at once. One string
// must not be read on one thread while another changes it.
//
// Positions and lengths are 32-bit signed characters of the form an operation
// works in (see PrefersWide); bad positions and counts are clamped, never
// reported. Only allocation failure throws.
class OString {
public:
    static constexpr uint32_t kCodePageAnsi = OCodePage::kAnsi;
    static constexpr uint32_t kCodePageUtf8 = OCodePage::kUtf8;
    // One byte per UTF-16 unit of the same value (the low eight bits going out).
    static constexpr uint32_t kCodePageBytes = OCodePage::kBytes;
    // The set of white space the library trims.
    static constexpr const char* kWhiteSpace = " \t\r\n";

    OString() noexcept = default;
    OString(const char* text);
    OString(const wchar_t* text);
    // At most count characters, stopping early at a NUL.
    OString(const char* text, int32_t count);
    OString(const wchar_t* text, int32_t count);
    explicit OString(char c);
    explicit OString(wchar_t c);
    explicit OString(int32_t n);
    explicit OString(uint32_t n);
    explicit OString(int64_t n);
    explicit OString(uint64_t n);
    // Windows' DWORD and LONG are 32-bit but distinct types.
    template <OWindowsLong<long> L>
    explicit OString(L n) : OString(static_cast<int32_t>(n)) {}
    template <OWindowsLong<unsigned long> L>
    explicit OString(L n) : OString(static_cast<uint32_t>(n)) {}
    OString(const OString& other) noexcept;
    OString(OString&& other) noexcept;
    ~OString();

    OString& operator=(const OString& other) noexcept;
    OString& operator=(OString&& other) noexcept;
    OString& operator=(const char* text);
    OString& operator=(const wchar_t* text);

    // Code page of the narrow form. Changing it keeps the text: narrow text is
    // first converted to wide with the old code page.
    void SetCodePage(uint32_t codePage);
    void SetCodePageAnsi() { SetCodePage(kCodePageAnsi); }
    void SetCodePageUtf8() { SetCodePage(kCodePageUtf8); }
    uint32_t GetCodePage() const;

    // Text becomes the decimal form of n.
    void SetInt(int32_t n);

    // The text in each form, converted on demand; never null ("" when empty).
    // The pointer stays valid until the string or a string sharing its body
    // changes.
    const char* GetNarrow() const;
    const wchar_t* GetWide() const;
    // Bytes of the narrow text when the string works narrow, else UTF-16 units.
    int32_t GetLength() const;
    bool IsEmpty() const;
    bool HasNarrow() const;
    bool HasWide() const;
    // Whether operations on this string work in the wide form: wide text is
    // present, or the code page is UTF-8 or a multibyte (East Asian) page.
    bool PrefersWide() const;

    // A writable narrow buffer of 4096 characters (text discarded).
    char* GetFormatBuffer();
    // A writable wide buffer of 260 characters (text discarded), for Windows
    // calls that fill a path.
    wchar_t* GetPathBuffer();

    OString& Append(const OString& text);
    OString& Append(char c);  // always works in the narrow form
    OString& Append(const char* text);
    OString& Append(const wchar_t* text);
    OString& Append(int32_t n);
    OString& Append(uint32_t n);
    OString& Append(int64_t n);
    OString& Append(uint64_t n);
    template <OWindowsLong<long> L>
    OString& Append(L n) {
        return Append(static_cast<int32_t>(n));
    }
    template <OWindowsLong<unsigned long> L>
    OString& Append(L n) {
        return Append(static_cast<uint32_t>(n));
    }
    OString& operator+=(const OString& text) { return Append(text); }
    OString& operator+=(const char* text) { return Append(text); }
    OString& operator+=(const wchar_t* text) { return Append(text); }
    OString& operator+=(char c) { return Append(c); }

    // Ordinal comparison: -1, 0 or 1. Narrow text compares as signed bytes,
    // wide text as unsigned 16-bit units.
    int Compare(const OString& other) const;
    // As Compare, with only 'a'..'z' folded to upper case.
    int CompareNoCase(const OString& other) const;
    bool operator==(const char* text) const { return Compare(OString(text)) == 0; }
    bool operator!=(const char* text) const { return !(*this == text); }
    bool operator==(const OString& other) const { return Compare(other) == 0; }
    bool operator!=(const OString& other) const { return Compare(other) != 0; }

    // Searches return an index or -1.
    int32_t Find(const char* sub, int32_t start = 0) const;
    int32_t FindChar(char c) const;
    int32_t FindOneOf(const char* set) const;
    int32_t ReverseFindOneOf(const OString& set) const;
    int32_t ReverseFindBackslash() const;

    OString Mid(int32_t pos, int32_t count) const;
    OString Mid(int32_t pos) const;
    OString Left(int32_t count) const;
    OString LastChar() const;

    void Insert(int32_t pos, const char* text, int32_t count);
    void Insert(int32_t pos, const wchar_t* text, int32_t count);
    void Insert(int32_t pos, const OString& text);
    // Returns the new length.
    int32_t Delete(int32_t pos, int32_t count);
    void Truncate(int32_t count);
    void Empty();
    void PadLeftZeros(int32_t width);
    // Replaces every occurrence left to right; returns how many.
    int32_t Replace(const OString& oldText, const OString& newText);
    void TrimLeft(const OString& set = OString(kWhiteSpace));
    void TrimRight(const OString& set = OString(kWhiteSpace));
    void Trim(const OString& set = OString(kWhiteSpace)) {
        TrimRight(set);
        TrimLeft(set);
    }
    // Locale-aware case mapping of the wide text; unchanged when mapping fails.
    void MakeUpper();
    void MakeLower();

    // wvsprintfA into the format buffer (Windows stops at 1024 characters).
    OString& Format(const char* format, ...);
    static OString Formatted(const char* format, ...);

    // Two upper-case hex digits per byte; count < 0 takes |count| bytes from the
    // last to the first (a little-endian number shown most significant first).
    static OString FromBytesHex(const void* bytes, int32_t count);
    static OString ToHex(uint16_t value);
    static OString ToHex(uint32_t value);
    static OString ToHex(uint64_t value);
    // Decimal of the narrow text: leading white space, one sign, digits up to
    // the first non-digit; no digits give 0; out of range saturates.
    int32_t ToInt() const;

    // Cuts text at every delimiter, keeping empty pieces; an empty delimiter
    // gives the whole text as one element, empty text no element.
    static void Split(OStringArray& out, const OString& text, const char* delimiter);

    // Static routines on NUL-terminated arrays: null arguments give -1, null or 0.
    static int32_t StrLen(const char* s);
    static int32_t StrLen(const wchar_t* s);
    static const char* StrChr(const char* s, char c);
    static const wchar_t* StrChr(const wchar_t* s, wchar_t c);
    static const char* StrStr(const char* s, const char* sub);
    static const wchar_t* StrStr(const wchar_t* s, const wchar_t* sub);
    static const char* StrPBrk(const char* s, const char* set);
    static const wchar_t* StrPBrk(const wchar_t* s, const wchar_t* set);
    static const char* StrRPBrk(const char* s, const char* set);
    static const wchar_t* StrRPBrk(const wchar_t* s, const wchar_t* set);
    static int StrCmp(const char* a, const char* b);
    static int StrCmp(const wchar_t* a, const wchar_t* b);
    static int StrNCmp(const char* a, const char* b, int32_t count);
    static int StrNCmp(const wchar_t* a, const wchar_t* b, int32_t count);
    static int StrCmpNoCase(const char* a, const char* b);
    static int StrCmpNoCase(const wchar_t* a, const wchar_t* b);
    static const char* StrRChrBackslash(const char* s);
    static const wchar_t* StrRChrBackslash(const wchar_t* s);
    static char ToUpperAscii(char c);
    static wchar_t ToUpperAscii(wchar_t c);

    // The body, for tests of sharing; null for a default string.
    const OStringBody* GetBody() const { return m_body; }

private:
    enum class Form { Narrow, Wide };

    static bool PrefersWide(const OStringBody* body);
    static Form WorkingForm(const OString& a, const OString& b);
    Form WorkingForm() const { return PrefersWide() ? Form::Wide : Form::Narrow; }
    // f(text of this, text of other), both in the given form.
    template <typename F>
    auto WithTexts(Form form, const OString& other, F f) const;

    void MakeUnique();
    void Release() noexcept;
    // Room for count characters; keepText copies the present forms over.
    void EnsureRoom(uint64_t count, bool keepText);
    // The text in the form of C, made on demand; never null.
    template <typename C>
    const C* Read() const;
    // The writable buffer of C's form, made empty when absent; the other form
    // is left as it is. Only on a body of its own.
    template <typename C>
    C* Buffer();
    // Removes C's form. Only on a body of its own.
    template <typename C>
    void Drop();
    // Leaves the text only in the form of C.
    template <typename C>
    void HoldIn();
    template <typename C>
    void Assign(const C* text, int32_t count);
    template <typename C>
    void AppendIn(const C* tail);
    template <typename C>
    void InsertIn(int32_t pos, const C* text, int32_t count);
    int32_t NarrowLength() const;
    int32_t WideLength() const;

    OStringBody* m_body = nullptr;
};

OString operator+(const OString& left, const OString& right);
OString operator+(const OString& left, const char* right);
