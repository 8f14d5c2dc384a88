// Shared by the fuzz targets: the input as the poll would see it, and a loud failure for a
// broken bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzzinput {

// The input as a terminated text in a heap area of exactly its size, so that AddressSanitizer
// catches a read past the terminator. The AT channel never hands over more than 1023 bytes.
inline std::vector<char> Reply(const uint8_t* data, std::size_t size, std::size_t limit = 1023)
{
    if (size > limit) size = limit;
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    return text;
}

// A field must be a text terminated within its buffer.
inline void CheckTerminated(const char* field, std::size_t size, const char* what)
{
    if (std::memchr(field, '\0', size) == nullptr) {
        std::fprintf(stderr, "%s is not terminated within its %zu bytes\n", what, size);
        std::abort();
    }
}

inline void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzzinput
