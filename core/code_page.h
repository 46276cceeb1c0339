#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Conversion between UTF-16 and the narrow code pages text is kept in. UTF-8
// and the byte page are converted here; every other page by the system.
namespace OCodePage {

constexpr uint32_t kAnsi = 0;  // the system's ANSI code page
constexpr uint32_t kUtf8 = 1208;
// One byte per UTF-16 unit of the same value (the low eight bits going out).
constexpr uint32_t kBytes = 64999;

// Whether text in the page is counted in UTF-16 units rather than bytes:
// UTF-8 and the East Asian multibyte pages.
bool CountsInUnits(uint32_t codePage);

// The text converted into a new buffer of at least minUnits elements (more
// when the text needs them), terminated; null when the system cannot convert
// it. UTF-8 is written as it always has been: each UTF-16 unit on its own, so
// a surrogate half becomes three bytes. Decoding does not check continuation
// bytes, but a sequence cut short by the end becomes one U+FFFD.
std::unique_ptr<char[]> NewNarrow(const wchar_t* wide, uint32_t codePage, size_t minUnits);
std::unique_ptr<wchar_t[]> NewWide(const char* narrow, uint32_t codePage, size_t minUnits);

}  // namespace OCodePage
