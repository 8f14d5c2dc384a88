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
