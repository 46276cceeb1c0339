#include "core/ostring.h"

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>

#include "core/arrays.h"
#include "core/text_scan.h"

namespace {

constexpr uint64_t kFormatChars = 4096;
constexpr uint64_t kPathChars = MAX_PATH;
// Texts longer than this cannot be addressed by 32-bit positions.
constexpr uint64_t kMaxChars = INT32_MAX - 64;

// What a narrow buffer holds when first made for this many characters.
uint64_t NarrowBytesFor(uint64_t capacity, uint32_t codePage) {
    return capacity * (codePage == OString::kCodePageUtf8 ? 4 : 2);
}

uint64_t DefaultNarrowBytes(const OStringBody* body) {
    return NarrowBytesFor(body->capacity, body->codePage);
}

uint64_t NarrowBytes(const OStringBody* body) {
    return body->narrow != nullptr ? body->narrowBytes : DefaultNarrowBytes(body);
}

// A conversion that needs more room than the narrow buffer has replaces that
// buffer alone (it is empty then): strings sharing the body may hold pointers
// into the wide form, and reading the other form is no change.
void ReserveNarrow(OStringBody* body, uint64_t bytes) {
    if (bytes <= NarrowBytes(body)) {
        return;
    }
    char* narrow = new char[bytes];
    narrow[0] = '\0';
    delete[] body->narrow;
    body->narrow = narrow;
    body->narrowBytes = bytes;
}

uint32_t EffectiveCodePage(uint32_t codePage) {
    return codePage == OString::kCodePageAnsi ? ::GetACP() : codePage;
}

bool IsEmptyBuffer(const char* p) {
    return p == nullptr || p[0] == '\0';
}
bool IsEmptyBuffer(const wchar_t* p) {
    return p == nullptr || p[0] == L'\0';
}

// UTF-8 as the library has always written it: every UTF-16 unit on its own, so
// a surrogate half becomes three bytes.
size_t Utf8Bytes(const wchar_t* wide) {
    size_t bytes = 0;
    for (; *wide != L'\0'; ++wide) {
        auto c = static_cast<uint16_t>(*wide);
        bytes += c < 0x80 ? 1 : (c < 0x800 ? 2 : 3);
    }
    return bytes;
}

void EncodeUtf8(const wchar_t* wide, char* out) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    for (; *wide != L'\0'; ++wide) {
        auto c = static_cast<uint16_t>(*wide);
        if (c < 0x80) {
            *o++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    *o = 0;
}

// Decodes without checking continuation bytes (as the library always has), but
// a sequence cut short by the terminating NUL becomes one U+FFFD and the NUL is
// never passed. Counts units when out is null.
size_t DecodeUtf8(const char* narrow, wchar_t* out) {
    constexpr wchar_t kReplacement = 0xFFFD;
    const auto* p = reinterpret_cast<const unsigned char*>(narrow);
    size_t units = 0;
    auto emit = [&](wchar_t c) {
        if (out != nullptr) {
            out[units] = c;
        }
        ++units;
    };
    while (*p != 0) {
        unsigned b = *p;
        if (b < 0x80) {
            emit(static_cast<wchar_t>(b));
            p += 1;
        } else if ((b & 0xE0) == 0xC0) {
            if (p[1] == 0) {
                emit(kReplacement);
                break;
            }
            emit(static_cast<wchar_t>(((b & 0x1F) << 6) | (p[1] & 0x3F)));
            p += 2;
        } else {
            if (p[1] == 0 || p[2] == 0) {
                emit(kReplacement);
                break;
            }
            emit(static_cast<wchar_t>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)));
            p += 3;
        }
    }
    if (out != nullptr) {
        out[units] = L'\0';
    }
    return units;
}

template <typename C>
int32_t LengthOf(const C* s) {
    if (s == nullptr) {
        return 0;
    }
    const C* e = s;
    while (*e != 0) {
        ++e;
    }
    return static_cast<int32_t>(e - s);
}

template <typename C>
int32_t BoundedLength(const C* s, int32_t max) {
    if (s == nullptr || max <= 0) {
        return 0;
    }
    int32_t n = 0;
    while (n < max && s[n] != 0) {
        ++n;
    }
    return n;
}

// Narrow text compares as signed bytes, wide text as unsigned units.
int CompareUnit(char a, char b) {
    auto sa = static_cast<signed char>(a);
    auto sb = static_cast<signed char>(b);
    return sa < sb ? -1 : (sa > sb ? 1 : 0);
}
int CompareUnit(wchar_t a, wchar_t b) {
    auto ua = static_cast<uint16_t>(a);
    auto ub = static_cast<uint16_t>(b);
    return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

template <typename C>
int CompareText(const C* a, const C* b, bool noCase, int32_t limit = INT32_MAX) {
    for (int32_t i = 0; i < limit; ++i) {
        C ca = noCase ? OText::FoldAscii(a[i]) : a[i];
        C cb = noCase ? OText::FoldAscii(b[i]) : b[i];
        int r = CompareUnit(ca, cb);
        if (r != 0 || ca == 0) {
            return r;
        }
    }
    return 0;
}

template <typename C>
int32_t FindText(const C* text, int32_t length, const C* sub, int32_t subLength, int32_t start) {
    for (int32_t i = start; i + subLength <= length; ++i) {
        if (std::char_traits<C>::compare(text + i, sub, static_cast<size_t>(subLength)) == 0) {
            return i;
        }
    }
    return -1;
}

template <typename C>
bool InSet(const C* set, C c) {
    for (; *set != 0; ++set) {
        if (*set == c) {
            return true;
        }
    }
    return false;
}

template <typename C>
int32_t ReverseFindAny(const C* text, const C* set) {
    for (int32_t i = LengthOf(text) - 1; i >= 0; --i) {
        if (InSet(set, text[i])) {
            return i;
        }
    }
    return -1;
}

std::string Decimal(uint64_t magnitude, bool negative) {
    char digits[24];
    int i = sizeof(digits);
    digits[--i] = '\0';
    do {
        digits[--i] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        digits[--i] = '-';
    }
    return std::string(digits + i);
}

uint64_t Magnitude(int64_t n) {
    return n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
}

}  // namespace

// ---- construction and lifetime ----

OString::OString(const char* text) {
    AssignNarrow(text, LengthOf(text));
}
OString::OString(const wchar_t* text) {
    AssignWide(text, LengthOf(text));
}
OString::OString(const char* text, int32_t count) {
    AssignNarrow(text, BoundedLength(text, count));
}
OString::OString(const wchar_t* text, int32_t count) {
    AssignWide(text, BoundedLength(text, count));
}
OString::OString(char c) {
    AssignNarrow(&c, c == '\0' ? 0 : 1);
}
OString::OString(wchar_t c) {
    AssignWide(&c, c == L'\0' ? 0 : 1);
}
OString::OString(int32_t n) : OString(Decimal(Magnitude(n), n < 0).c_str()) {}
OString::OString(uint32_t n) : OString(Decimal(n, false).c_str()) {}
OString::OString(int64_t n) : OString(Decimal(Magnitude(n), n < 0).c_str()) {}
OString::OString(uint64_t n) : OString(Decimal(n, false).c_str()) {}

OString::OString(const OString& other) noexcept : m_body(other.m_body) {
    if (m_body != nullptr) {
        m_body->refs.fetch_add(1, std::memory_order_relaxed);
    }
}

OString::OString(OString&& other) noexcept : m_body(other.m_body) {
    other.m_body = nullptr;
}

OString::~OString() {
    Release();
}

OString& OString::operator=(const OString& other) noexcept {
    if (m_body != other.m_body) {
        if (other.m_body != nullptr) {
            other.m_body->refs.fetch_add(1, std::memory_order_relaxed);
        }
        Release();
        m_body = other.m_body;
    }
    return *this;
}

OString& OString::operator=(OString&& other) noexcept {
    if (this != &other) {
        Release();
        m_body = other.m_body;
        other.m_body = nullptr;
    }
    return *this;
}

OString& OString::operator=(const char* text) {
    // The text may point into this string's own buffer.
    std::string copy(text != nullptr ? text : "");
    AssignNarrow(copy.c_str(), static_cast<int32_t>(copy.size()));
    return *this;
}

OString& OString::operator=(const wchar_t* text) {
    std::wstring copy(text != nullptr ? text : L"");
    AssignWide(copy.c_str(), static_cast<int32_t>(copy.size()));
    return *this;
}

void OString::Release() noexcept {
    if (m_body == nullptr) {
        return;
    }
    if (m_body->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete[] m_body->narrow;
        delete[] m_body->wide;
        delete m_body;
    }
    m_body = nullptr;
}

void OString::MakeUnique() {
    if (m_body == nullptr) {
        m_body = new OStringBody();
        return;
    }
    if (m_body->refs.load(std::memory_order_acquire) == 1) {
        return;
    }
    auto* clone = new OStringBody();
    clone->capacity = m_body->capacity;
    clone->codePage = m_body->codePage;
    try {
        if (m_body->narrow != nullptr) {
            size_t bytes = NarrowBytes(m_body);
            clone->narrow = new char[bytes];
            clone->narrowBytes = bytes;
            std::memcpy(clone->narrow, m_body->narrow, bytes);
        }
        if (m_body->wide != nullptr) {
            size_t units = m_body->capacity;
            clone->wide = new wchar_t[units];
            std::memcpy(clone->wide, m_body->wide, units * sizeof(wchar_t));
        }
    } catch (...) {
        delete[] clone->narrow;
        delete clone;
        throw;
    }
    Release();
    m_body = clone;
}

void OString::EnsureRoom(uint64_t count, bool keepText) {
    OStringBody* body = m_body;
    if (count + 1 <= body->capacity) {
        if (!keepText) {
            if (body->narrow != nullptr) {
                body->narrow[0] = '\0';
            }
            if (body->wide != nullptr) {
                body->wide[0] = L'\0';
            }
        }
        return;
    }
    if (count > kMaxChars) {
        throw std::bad_alloc();
    }
    uint64_t capacity = (count + 32) & ~uint64_t{31};
    char* narrow = nullptr;
    uint64_t narrowBytes = 0;
    wchar_t* wide = nullptr;
    if (keepText) {
        if (!IsEmptyBuffer(body->narrow)) {
            // Text converted into a page of three bytes a unit may outgrow
            // twice the new capacity.
            size_t used = std::strlen(body->narrow) + 1;
            narrowBytes = NarrowBytesFor(capacity, body->codePage);
            if (narrowBytes < used) {
                narrowBytes = used;
            }
            narrow = new char[narrowBytes];
            std::memcpy(narrow, body->narrow, used);
        }
        if (!IsEmptyBuffer(body->wide)) {
            try {
                wide = new wchar_t[capacity];
            } catch (...) {
                delete[] narrow;
                throw;
            }
            std::memcpy(wide, body->wide, (std::wcslen(body->wide) + 1) * sizeof(wchar_t));
        }
    }
    delete[] body->narrow;
    delete[] body->wide;
    body->narrow = narrow;
    body->narrowBytes = narrowBytes;
    body->wide = wide;
    body->capacity = capacity;
}

void OString::AllocNarrow() {
    if (m_body->narrow == nullptr) {
        uint64_t bytes = DefaultNarrowBytes(m_body);
        m_body->narrow = new char[bytes];
        m_body->narrowBytes = bytes;
        m_body->narrow[0] = '\0';
    }
}

void OString::AllocWide() {
    if (m_body->wide == nullptr) {
        m_body->wide = new wchar_t[m_body->capacity];
        m_body->wide[0] = L'\0';
    }
}

void OString::AssignNarrow(const char* text, int32_t count) {
    MakeUnique();
    EnsureRoom(static_cast<uint64_t>(count), false);
    if (count == 0) {
        return;
    }
    AllocNarrow();
    std::memcpy(m_body->narrow, text, static_cast<size_t>(count));
    m_body->narrow[count] = '\0';
    if (m_body->wide != nullptr) {
        m_body->wide[0] = L'\0';
    }
}

void OString::AssignWide(const wchar_t* text, int32_t count) {
    MakeUnique();
    EnsureRoom(static_cast<uint64_t>(count), false);
    if (count == 0) {
        return;
    }
    AllocWide();
    std::memcpy(m_body->wide, text, static_cast<size_t>(count) * sizeof(wchar_t));
    m_body->wide[count] = L'\0';
    if (m_body->narrow != nullptr) {
        m_body->narrow[0] = '\0';
    }
}

// ---- lazy conversions ----
//
// Each conversion first learns the size of its result and grows the body when
// the result would not fit (a multibyte page can need more than two bytes per
// unit), so nothing is cut and every buffer stays terminated.

void OString::EnsureNarrow() const {
    OStringBody* body = m_body;
    if (body == nullptr || !IsEmptyBuffer(body->narrow) || IsEmptyBuffer(body->wide)) {
        return;
    }
    auto* self = const_cast<OString*>(this);
    const uint32_t codePage = body->codePage;
    if (codePage == kCodePageBytes) {
        self->AllocNarrow();
        const wchar_t* w = body->wide;
        char* n = body->narrow;
        while (*w != L'\0') {
            *n++ = static_cast<char>(static_cast<uint16_t>(*w++) & 0xFF);
        }
        *n = '\0';
        return;
    }
    if (codePage == kCodePageUtf8) {
        size_t bytes = Utf8Bytes(body->wide);
        ReserveNarrow(body, bytes + 1);
        self->AllocNarrow();
        EncodeUtf8(body->wide, body->narrow);
        return;
    }
    int needed = ::WideCharToMultiByte(codePage, 0, body->wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
        ReserveNarrow(body, static_cast<uint64_t>(needed));
    }
    self->AllocNarrow();
    int written = ::WideCharToMultiByte(codePage, 0, body->wide, -1, body->narrow,
                                        static_cast<int>(NarrowBytes(body)), nullptr, nullptr);
    if (written <= 0) {
        body->narrow[0] = '\0';
    } else {
        body->narrow[written - 1] = '\0';
    }
}

void OString::EnsureWide() const {
    OStringBody* body = m_body;
    if (body == nullptr || !IsEmptyBuffer(body->wide) || IsEmptyBuffer(body->narrow)) {
        return;
    }
    auto* self = const_cast<OString*>(this);
    const uint32_t codePage = body->codePage;
    if (codePage == kCodePageBytes) {
        size_t units = std::strlen(body->narrow);
        if (units + 1 > body->capacity) {
            self->EnsureRoom(units, true);
        }
        self->AllocWide();
        const auto* n = reinterpret_cast<const unsigned char*>(body->narrow);
        wchar_t* w = body->wide;
        while (*n != 0) {
            *w++ = static_cast<wchar_t>(*n++);
        }
        *w = L'\0';
        return;
    }
    if (codePage == kCodePageUtf8) {
        size_t units = DecodeUtf8(body->narrow, nullptr);
        if (units + 1 > body->capacity) {
            self->EnsureRoom(units, true);
        }
        self->AllocWide();
        DecodeUtf8(body->narrow, body->wide);
        return;
    }
    int needed = ::MultiByteToWideChar(codePage, 0, body->narrow, -1, nullptr, 0);
    if (needed > 0 && static_cast<uint64_t>(needed) > body->capacity) {
        self->EnsureRoom(static_cast<uint64_t>(needed), true);
    }
    self->AllocWide();
    int written = ::MultiByteToWideChar(codePage, 0, body->narrow, -1, body->wide,
                                        static_cast<int>(body->capacity));
    if (written <= 0) {
        body->wide[0] = L'\0';
    } else {
        body->wide[written - 1] = L'\0';
    }
}

void OString::HoldIn(Form form) {
    if (form == Form::Wide) {
        EnsureWide();
        if (m_body->narrow != nullptr) {
            m_body->narrow[0] = '\0';
        }
    } else {
        EnsureNarrow();
        if (m_body->wide != nullptr) {
            m_body->wide[0] = L'\0';
        }
    }
}

// ---- state ----

void OString::SetCodePage(uint32_t codePage) {
    if (GetCodePage() == codePage) {
        return;
    }
    MakeUnique();
    if (!IsEmptyBuffer(m_body->narrow)) {
        EnsureWide();
    }
    delete[] m_body->narrow;
    m_body->narrow = nullptr;
    m_body->narrowBytes = 0;
    m_body->codePage = codePage;
}

uint32_t OString::GetCodePage() const {
    return m_body == nullptr ? kCodePageAnsi : m_body->codePage;
}

void OString::SetInt(int32_t n) {
    *this = Decimal(Magnitude(n), n < 0).c_str();
}

OString OString::Independent() const {
    OString copy;
    copy.SetCodePage(GetCodePage());
    if (HasWide()) {
        copy.AssignWide(m_body->wide, LengthOf(m_body->wide));
    } else if (HasNarrow()) {
        copy.AssignNarrow(m_body->narrow, LengthOf(m_body->narrow));
    }
    return copy;
}

bool OString::PrefersWide(const OStringBody* body) {
    if (body != nullptr && !IsEmptyBuffer(body->wide)) {
        return true;
    }
    uint32_t codePage = body == nullptr ? kCodePageAnsi : body->codePage;
    if (codePage == kCodePageUtf8) {
        return true;
    }
    switch (EffectiveCodePage(codePage)) {
        case 932:
        case 936:
        case 949:
        case 950:
        case 1361:
        case 54936:
            return true;
        default:
            return false;
    }
}

bool OString::PrefersWide() const {
    return PrefersWide(m_body);
}

OString::Form OString::WorkingForm(const OString& a, const OString& b) {
    if (a.PrefersWide() || b.PrefersWide() || a.GetCodePage() != b.GetCodePage()) {
        return Form::Wide;
    }
    return Form::Narrow;
}

// ---- access ----

const char* OString::GetNarrow() const {
    if (m_body == nullptr) {
        return "";
    }
    EnsureNarrow();
    return IsEmptyBuffer(m_body->narrow) ? "" : m_body->narrow;
}

const wchar_t* OString::GetWide() const {
    if (m_body == nullptr) {
        return L"";
    }
    EnsureWide();
    return IsEmptyBuffer(m_body->wide) ? L"" : m_body->wide;
}

int32_t OString::NarrowLength() const {
    return LengthOf(GetNarrow());
}
int32_t OString::WideLength() const {
    return LengthOf(GetWide());
}

int32_t OString::GetLength() const {
    if (m_body == nullptr) {
        return 0;
    }
    return PrefersWide() ? WideLength() : NarrowLength();
}

bool OString::IsEmpty() const {
    return m_body == nullptr || (IsEmptyBuffer(m_body->narrow) && IsEmptyBuffer(m_body->wide));
}

bool OString::HasNarrow() const {
    return m_body != nullptr && !IsEmptyBuffer(m_body->narrow);
}
bool OString::HasWide() const {
    return m_body != nullptr && !IsEmptyBuffer(m_body->wide);
}

char* OString::GetFormatBuffer() {
    MakeUnique();
    EnsureRoom(kFormatChars, false);
    AllocNarrow();
    if (m_body->wide != nullptr) {
        m_body->wide[0] = L'\0';
    }
    return m_body->narrow;
}

wchar_t* OString::GetPathBuffer() {
    MakeUnique();
    EnsureRoom(kPathChars, false);
    AllocWide();
    if (m_body->narrow != nullptr) {
        m_body->narrow[0] = '\0';
    }
    return m_body->wide;
}

// ---- concatenation ----

OString& OString::Append(const OString& text) {
    if (text.IsEmpty()) {
        return *this;
    }
    if (IsEmpty()) {
        *this = text;
        return *this;
    }
    if (text.m_body == m_body) {
        OString copy;
        copy.SetCodePage(GetCodePage());
        if (text.PrefersWide()) {
            copy = text.GetWide();
        } else {
            copy = text.GetNarrow();
        }
        return Append(copy);
    }
    Form form = WorkingForm(*this, text);
    MakeUnique();
    HoldIn(form);
    if (form == Form::Wide) {
        const wchar_t* tail = text.GetWide();
        int32_t length = WideLength();
        int32_t tailLength = LengthOf(tail);
        EnsureRoom(static_cast<uint64_t>(length) + static_cast<uint64_t>(tailLength), true);
        AllocWide();
        std::memcpy(m_body->wide + length, tail,
                    (static_cast<size_t>(tailLength) + 1) * sizeof(wchar_t));
    } else {
        const char* tail = text.GetNarrow();
        int32_t length = NarrowLength();
        int32_t tailLength = LengthOf(tail);
        EnsureRoom(static_cast<uint64_t>(length) + static_cast<uint64_t>(tailLength), true);
        AllocNarrow();
        std::memcpy(m_body->narrow + length, tail, static_cast<size_t>(tailLength) + 1);
    }
    return *this;
}

OString& OString::Append(char c) {
    if (c == '\0') {
        return *this;
    }
    MakeUnique();
    HoldIn(Form::Narrow);
    int32_t length = NarrowLength();
    EnsureRoom(static_cast<uint64_t>(length) + 1, true);
    AllocNarrow();
    m_body->narrow[length] = c;
    m_body->narrow[length + 1] = '\0';
    return *this;
}

OString& OString::Append(const char* text) {
    return Append(OString(text));
}
OString& OString::Append(const wchar_t* text) {
    return Append(OString(text));
}
OString& OString::Append(int32_t n) {
    return Append(OString(n));
}
OString& OString::Append(uint32_t n) {
    return Append(OString(n));
}
OString& OString::Append(int64_t n) {
    return Append(OString(n));
}
OString& OString::Append(uint64_t n) {
    return Append(OString(n));
}

OString operator+(const OString& left, const OString& right) {
    OString result(left);
    result.Append(right);
    return result;
}

OString operator+(const OString& left, const char* right) {
    OString result(left);
    result.Append(right);
    return result;
}

// ---- comparison ----

int OString::Compare(const OString& other) const {
    if (WorkingForm(*this, other) == Form::Wide) {
        return CompareText(GetWide(), other.GetWide(), false);
    }
    return CompareText(GetNarrow(), other.GetNarrow(), false);
}

int OString::CompareNoCase(const OString& other) const {
    if (WorkingForm(*this, other) == Form::Wide) {
        return CompareText(GetWide(), other.GetWide(), true);
    }
    return CompareText(GetNarrow(), other.GetNarrow(), true);
}

// ---- search and extraction ----

int32_t OString::Find(const char* sub, int32_t start) const {
    if (start < 0) {
        start = 0;
    }
    int32_t length = GetLength();
    if (start >= length) {
        return -1;
    }
    if (sub == nullptr || sub[0] == '\0') {
        return start;
    }
    if (!PrefersWide()) {
        return FindText(GetNarrow(), length, sub, LengthOf(sub), start);
    }
    OString wideSub;
    wideSub.SetCodePage(GetCodePage());
    wideSub = sub;
    const wchar_t* w = wideSub.GetWide();
    return FindWide(w, LengthOf(w), start);
}

int32_t OString::FindWide(const wchar_t* sub, int32_t subLength, int32_t start) const {
    if (subLength == 0) {
        return start;
    }
    return FindText(GetWide(), WideLength(), sub, subLength, start);
}

int32_t OString::FindChar(char c) const {
    if (IsEmpty()) {
        return -1;
    }
    if (PrefersWide()) {
        const wchar_t* p = StrChr(GetWide(), static_cast<wchar_t>(static_cast<unsigned char>(c)));
        return (p == nullptr || c == '\0') ? -1 : static_cast<int32_t>(p - GetWide());
    }
    const char* p = StrChr(GetNarrow(), c);
    return (p == nullptr || c == '\0') ? -1 : static_cast<int32_t>(p - GetNarrow());
}

int32_t OString::FindOneOf(const char* set) const {
    if (set == nullptr) {
        return -1;
    }
    const char* text = GetNarrow();
    const char* p = StrPBrk(text, set);
    return p == nullptr ? -1 : static_cast<int32_t>(p - text);
}

int32_t OString::ReverseFindOneOf(const OString& set) const {
    if (WorkingForm(*this, set) == Form::Wide) {
        return ReverseFindAny(GetWide(), set.GetWide());
    }
    return ReverseFindAny(GetNarrow(), set.GetNarrow());
}

int32_t OString::ReverseFindBackslash() const {
    if (PrefersWide()) {
        const wchar_t* text = GetWide();
        const wchar_t* p = StrRChrBackslash(text);
        return p == nullptr ? -1 : static_cast<int32_t>(p - text);
    }
    const char* text = GetNarrow();
    const char* p = StrRChrBackslash(text);
    return p == nullptr ? -1 : static_cast<int32_t>(p - text);
}

OString OString::Mid(int32_t pos, int32_t count) const {
    if (pos < 0) {
        pos = 0;
    }
    if (count < 0) {
        count = 0;
    }
    int32_t length = GetLength();
    if (pos >= length) {
        return OString();
    }
    if (count > length - pos) {
        count = length - pos;
    }
    if (pos == 0 && count == length) {
        return *this;
    }
    OString result;
    result.SetCodePage(GetCodePage());
    if (PrefersWide()) {
        result.AssignWide(GetWide() + pos, count);
    } else {
        result.AssignNarrow(GetNarrow() + pos, count);
    }
    return result;
}

OString OString::Mid(int32_t pos) const {
    return Mid(pos, GetLength() - (pos < 0 ? 0 : pos));
}

OString OString::Left(int32_t count) const {
    int32_t length = GetLength();
    return Mid(0, count < length ? count : length);
}

OString OString::LastChar() const {
    return Mid(GetLength() - 1, 1);
}

// ---- modification ----

void OString::Insert(int32_t pos, const char* text, int32_t count) {
    count = BoundedLength(text, count);
    if (count <= 0) {
        return;
    }
    std::string copy(text, static_cast<size_t>(count));  // text may live in our buffer
    MakeUnique();
    HoldIn(Form::Narrow);
    int32_t length = NarrowLength();
    pos = pos < 0 ? 0 : (pos > length ? length : pos);
    EnsureRoom(static_cast<uint64_t>(length) + static_cast<uint64_t>(count), true);
    AllocNarrow();
    char* n = m_body->narrow;
    std::memmove(n + pos + count, n + pos, static_cast<size_t>(length - pos) + 1);
    std::memcpy(n + pos, copy.data(), static_cast<size_t>(count));
}

void OString::Insert(int32_t pos, const wchar_t* text, int32_t count) {
    count = BoundedLength(text, count);
    if (count <= 0) {
        return;
    }
    std::wstring copy(text, static_cast<size_t>(count));
    MakeUnique();
    HoldIn(Form::Wide);
    int32_t length = WideLength();
    pos = pos < 0 ? 0 : (pos > length ? length : pos);
    EnsureRoom(static_cast<uint64_t>(length) + static_cast<uint64_t>(count), true);
    AllocWide();
    wchar_t* w = m_body->wide;
    std::memmove(w + pos + count, w + pos,
                 (static_cast<size_t>(length - pos) + 1) * sizeof(wchar_t));
    std::memcpy(w + pos, copy.data(), static_cast<size_t>(count) * sizeof(wchar_t));
}

void OString::Insert(int32_t pos, const OString& text) {
    if (WorkingForm(*this, text) == Form::Wide) {
        std::wstring copy(text.GetWide());
        Insert(pos, copy.c_str(), static_cast<int32_t>(copy.size()));
    } else {
        std::string copy(text.GetNarrow());
        Insert(pos, copy.c_str(), static_cast<int32_t>(copy.size()));
    }
}

int32_t OString::Delete(int32_t pos, int32_t count) {
    if (IsEmpty()) {
        return 0;
    }
    MakeUnique();
    if (PrefersWide()) {
        HoldIn(Form::Wide);
    }
    int32_t length = GetLength();
    pos = pos < 0 ? 0 : (pos > length ? length : pos);
    if (count > length - pos) {
        count = length - pos;
    }
    if (count <= 0) {
        return length;
    }
    if (!IsEmptyBuffer(m_body->wide)) {
        wchar_t* w = m_body->wide;
        std::memmove(w + pos, w + pos + count,
                     (static_cast<size_t>(length - pos - count) + 1) * sizeof(wchar_t));
    }
    if (!IsEmptyBuffer(m_body->narrow)) {
        char* n = m_body->narrow;
        std::memmove(n + pos, n + pos + count, static_cast<size_t>(length - pos - count) + 1);
    }
    return length - count;
}

void OString::Truncate(int32_t count) {
    if (count < 0) {
        count = 0;
    }
    int32_t length = GetLength();
    if (count < length) {
        Delete(count, length - count);
    }
}

void OString::Empty() {
    Delete(0, GetLength());
}

void OString::PadLeftZeros(int32_t width) {
    int32_t missing = width - GetLength();
    if (missing <= 0) {
        return;
    }
    if (PrefersWide()) {
        std::wstring zeros(static_cast<size_t>(missing), L'0');
        Insert(0, zeros.c_str(), missing);
    } else {
        std::string zeros(static_cast<size_t>(missing), '0');
        Insert(0, zeros.c_str(), missing);
    }
}

int32_t OString::Replace(const OString& oldText, const OString& newText) {
    if (oldText.IsEmpty() || IsEmpty()) {
        return 0;
    }
    bool wide =
        WorkingForm(*this, oldText) == Form::Wide || WorkingForm(*this, newText) == Form::Wide;
    if (wide) {
        std::wstring from(oldText.GetWide());
        std::wstring to(newText.GetWide());
        if (from == to) {
            return 0;
        }
        std::wstring text(GetWide());
        int32_t replaced = OText::ReplaceAll(text, from, to);
        if (replaced > 0) {
            AssignWide(text.c_str(), static_cast<int32_t>(text.size()));
        }
        return replaced;
    }
    std::string from(oldText.GetNarrow());
    std::string to(newText.GetNarrow());
    if (from == to) {
        return 0;
    }
    std::string text(GetNarrow());
    int32_t replaced = OText::ReplaceAll(text, from, to);
    if (replaced > 0) {
        AssignNarrow(text.c_str(), static_cast<int32_t>(text.size()));
    }
    return replaced;
}

void OString::TrimLeft(const OString& set) {
    if (IsEmpty()) {
        return;
    }
    int32_t run = 0;
    if (PrefersWide()) {
        const wchar_t* text = GetWide();
        const wchar_t* chars = set.GetWide();
        while (text[run] != 0 && InSet(chars, text[run])) {
            ++run;
        }
    } else {
        const char* text = GetNarrow();
        const char* chars = set.GetNarrow();
        while (text[run] != 0 && InSet(chars, text[run])) {
            ++run;
        }
    }
    if (run > 0) {
        Delete(0, run);
    }
}

void OString::TrimRight(const OString& set) {
    if (IsEmpty()) {
        return;
    }
    int32_t length = GetLength();
    int32_t keep = length;
    if (PrefersWide()) {
        const wchar_t* text = GetWide();
        const wchar_t* chars = set.GetWide();
        while (keep > 0 && InSet(chars, text[keep - 1])) {
            --keep;
        }
    } else {
        const char* text = GetNarrow();
        const char* chars = set.GetNarrow();
        while (keep > 0 && InSet(chars, text[keep - 1])) {
            --keep;
        }
    }
    if (keep < length) {
        Delete(keep, length - keep);
    }
}

namespace {

// LCMapStringW in the user's locale; false leaves the text alone.
bool MapCase(const wchar_t* text, DWORD flags, std::wstring& out) {
    constexpr LCID kUserDefault = 0x400;
    int needed = ::LCMapStringW(kUserDefault, flags, text, -1, nullptr, 0);
    if (needed <= 0) {
        return false;
    }
    out.assign(static_cast<size_t>(needed), L'\0');
    int written = ::LCMapStringW(kUserDefault, flags, text, -1, out.data(), needed);
    if (written <= 0) {
        return false;
    }
    out.resize(LengthOf(out.c_str()));
    return true;
}

}  // namespace

void OString::MakeUpper() {
    std::wstring mapped;
    if (!IsEmpty() && MapCase(GetWide(), LCMAP_UPPERCASE, mapped)) {
        AssignWide(mapped.c_str(), static_cast<int32_t>(mapped.size()));
    }
}

void OString::MakeLower() {
    std::wstring mapped;
    if (!IsEmpty() && MapCase(GetWide(), LCMAP_LOWERCASE, mapped)) {
        AssignWide(mapped.c_str(), static_cast<int32_t>(mapped.size()));
    }
}

// ---- numbers and formatting ----

OString& OString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* buffer = GetFormatBuffer();
    ::wvsprintfA(buffer, format != nullptr ? format : "", args);
    va_end(args);
    return *this;
}

OString OString::Formatted(const char* format, ...) {
    OString result;
    va_list args;
    va_start(args, format);
    char* buffer = result.GetFormatBuffer();
    ::wvsprintfA(buffer, format != nullptr ? format : "", args);
    va_end(args);
    return result;
}

OString OString::FromBytesHex(const void* bytes, int32_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (bytes == nullptr || count == 0) {
        return OString();
    }
    const auto* b = static_cast<const unsigned char*>(bytes);
    int32_t n = count < 0 ? -count : count;
    std::string text(static_cast<size_t>(n) * 2, '0');
    for (int32_t i = 0; i < n; ++i) {
        unsigned char byte = count > 0 ? b[i] : b[n - 1 - i];
        text[2 * i] = kDigits[byte >> 4];
        text[2 * i + 1] = kDigits[byte & 0x0F];
    }
    return OString(text.c_str());
}

OString OString::ToHex(uint16_t value) {
    return FromBytesHex(&value, -2);
}
OString OString::ToHex(uint32_t value) {
    return FromBytesHex(&value, -4);
}
OString OString::ToHex(uint64_t value) {
    return FromBytesHex(&value, -8);
}

int32_t OString::ToInt() const {
    const char* text = GetNarrow();
    return OText::ParseInt(text, std::strlen(text));
}

// ---- tokenising ----

void OString::Split(OStringArray& out, const OString& text, const char* delimiter) {
    // The text may be an element of out, which is emptied first.
    const OString source = text;
    out.RemoveAll();
    if (source.IsEmpty()) {
        return;
    }
    if (delimiter == nullptr || delimiter[0] == '\0') {
        out.Add(source);
        return;
    }
    // One pass over the working form. Find and Mid would measure the whole text
    // again for every piece: 80000 pieces took seconds.
    const int32_t length = source.GetLength();
    auto cut = [&](const auto* base, const auto* sub, int32_t subLength, auto assign) {
        if (subLength == 0) {
            out.Add(source);
            return;
        }
        // The same pieces Mid gives: past the end an empty string, the whole
        // text the text itself.
        auto piece = [&](int32_t pos, int32_t count) {
            if (pos >= length) {
                return OString();
            }
            if (pos == 0 && count == length) {
                return source;
            }
            OString result;
            result.SetCodePage(source.GetCodePage());
            assign(result, base + pos, count);
            return result;
        };
        int32_t start = 0;
        for (;;) {
            int32_t hit = start < length ? FindText(base, length, sub, subLength, start) : -1;
            if (hit < 0) {
                out.Add(piece(start, length - start));
                return;
            }
            out.Add(piece(start, hit - start));
            start = hit + subLength;
        }
    };
    if (!source.PrefersWide()) {
        cut(source.GetNarrow(), delimiter, LengthOf(delimiter),
            [](OString& s, const char* p, int32_t n) { s.AssignNarrow(p, n); });
        return;
    }
    // The delimiter is counted and matched in the text's wide form.
    OString wideDelimiter;
    wideDelimiter.SetCodePage(source.GetCodePage());
    wideDelimiter = delimiter;
    const wchar_t* sub = wideDelimiter.GetWide();
    cut(source.GetWide(), sub, LengthOf(sub),
        [](OString& s, const wchar_t* p, int32_t n) { s.AssignWide(p, n); });
}

// ---- static routines on character arrays ----

int32_t OString::StrLen(const char* s) {
    return LengthOf(s);
}
int32_t OString::StrLen(const wchar_t* s) {
    return LengthOf(s);
}

const char* OString::StrChr(const char* s, char c) {
    if (s == nullptr) {
        return nullptr;
    }
    for (;; ++s) {
        if (*s == c) {
            return s;
        }
        if (*s == '\0') {
            return nullptr;
        }
    }
}

const wchar_t* OString::StrChr(const wchar_t* s, wchar_t c) {
    if (s == nullptr) {
        return nullptr;
    }
    for (;; ++s) {
        if (*s == c) {
            return s;
        }
        if (*s == L'\0') {
            return nullptr;
        }
    }
}

template <typename C>
static const C* StrStrOf(const C* s, const C* sub) {
    if (s == nullptr || sub == nullptr) {
        return nullptr;
    }
    int32_t length = LengthOf(s);
    int32_t at = FindText(s, length, sub, LengthOf(sub), 0);
    return at < 0 ? nullptr : s + at;
}

template <typename C>
static const C* StrPBrkOf(const C* s, const C* set, bool last) {
    if (s == nullptr || set == nullptr) {
        return nullptr;
    }
    const C* found = nullptr;
    for (; *s != 0; ++s) {
        if (InSet(set, *s)) {
            found = s;
            if (!last) {
                break;
            }
        }
    }
    return found;
}

const char* OString::StrStr(const char* s, const char* sub) {
    return StrStrOf(s, sub);
}
const wchar_t* OString::StrStr(const wchar_t* s, const wchar_t* sub) {
    return StrStrOf(s, sub);
}
const char* OString::StrPBrk(const char* s, const char* set) {
    return StrPBrkOf(s, set, false);
}
const wchar_t* OString::StrPBrk(const wchar_t* s, const wchar_t* set) {
    return StrPBrkOf(s, set, false);
}
const char* OString::StrRPBrk(const char* s, const char* set) {
    return StrPBrkOf(s, set, true);
}
const wchar_t* OString::StrRPBrk(const wchar_t* s, const wchar_t* set) {
    return StrPBrkOf(s, set, true);
}

int OString::StrCmp(const char* a, const char* b) {
    return (a == nullptr || b == nullptr) ? -1 : CompareText(a, b, false);
}
int OString::StrCmp(const wchar_t* a, const wchar_t* b) {
    return (a == nullptr || b == nullptr) ? -1 : CompareText(a, b, false);
}
int OString::StrNCmp(const char* a, const char* b, int32_t count) {
    return (a == nullptr || b == nullptr) ? -1 : CompareText(a, b, false, count);
}
int OString::StrNCmp(const wchar_t* a, const wchar_t* b, int32_t count) {
    return (a == nullptr || b == nullptr) ? -1 : CompareText(a, b, false, count);
}
int OString::StrCmpNoCase(const char* a, const char* b) {
    return (a == nullptr || b == nullptr) ? -1 : CompareText(a, b, true);
}
int OString::StrCmpNoCase(const wchar_t* a, const wchar_t* b) {
    return (a == nullptr || b == nullptr) ? -1 : CompareText(a, b, true);
}

const char* OString::StrRChrBackslash(const char* s) {
    return StrPBrkOf(s, "\\", true);
}
const wchar_t* OString::StrRChrBackslash(const wchar_t* s) {
    return StrPBrkOf(s, L"\\", true);
}

char OString::ToUpperAscii(char c) {
    return OText::FoldAscii(c);
}
wchar_t OString::ToUpperAscii(wchar_t c) {
    return OText::FoldAscii(c);
}
