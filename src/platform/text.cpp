// Decimal conversion and bounded copies.
#include "platform/text.h"

#include <cctype>
#include <climits>

int DecimalValue(const char* text)
{
    const char* s = text;
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = (*s++ == '-');
    long long v = 0;
    while (*s >= '0' && *s <= '9') {
        if (v <= INT_MAX) v = v * 10 + (*s - '0');
        ++s;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

std::size_t TextCopy(char* dst, std::size_t dstSize, const char* src)
{
    if (dstSize == 0) return 0;
    std::size_t i = 0;
    for (; i + 1 < dstSize && src[i] != '\0'; ++i) dst[i] = src[i];
    dst[i] = '\0';
    return i;
}
