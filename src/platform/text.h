// Small text helpers shared by every module that reads numbers and texts from outside.
#pragma once

#include <cstddef>

// Reads a decimal number the way the system does everywhere: leading white space, an optional
// sign, digits up to the first other character; a text without digits gives 0. Values beyond the
// int range saturate instead of overflowing.
int DecimalValue(const char* text);

// Copies at most dstSize - 1 characters of src and always terminates dst. Returns the number of
// characters copied.
std::size_t TextCopy(char* dst, std::size_t dstSize, const char* src);

// True when the len bytes at text are well-formed UTF-8: no overlong forms, no surrogates, nothing
// beyond U+10FFFF.
bool Utf8Valid(const char* text, std::size_t len);

// True when the UTF-8 text holds a control character: C0 (below 0x20), DEL or C1 (U+0080 to
// U+009F). Bytes that are not UTF-8 are not judged here.
bool HasControlCharacter(const char* text);
