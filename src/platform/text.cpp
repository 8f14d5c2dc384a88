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

namespace {

// Continuation bytes a lead byte announces (-1: not a lead byte), and the least code point such a
// sequence may carry.
int Utf8Tail(unsigned char lead, unsigned* least)
{
    if (lead < 0x80) return 0;
    if (lead >= 0xC2 && lead <= 0xDF) return *least = 0x80, 1;
    if (lead >= 0xE0 && lead <= 0xEF) return *least = 0x800, 2;
    if (lead >= 0xF0 && lead <= 0xF4) return *least = 0x10000, 3;
    return -1;
}

}  // namespace

bool Utf8Valid(const char* text, std::size_t len)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < len;) {
        unsigned least = 0;
        int tail = Utf8Tail(s[i], &least);
        if (tail < 0 || len - i <= static_cast<std::size_t>(tail)) return false;  // no lead byte, or cut short
        unsigned cp = s[i] & (0x7Fu >> tail);
        for (int k = 1; k <= tail; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3Fu);
        }
        if (tail > 0 && (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
        i += static_cast<std::size_t>(tail) + 1;
    }
    return true;
}

bool HasControlCharacter(const char* text)
{
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text); *s != '\0'; ++s) {
        if (*s < 0x20 || *s == 0x7F) return true;
        if (*s == 0xC2 && s[1] >= 0x80 && s[1] <= 0x9F) return true;  // U+0080..U+009F
    }
    return false;
}
