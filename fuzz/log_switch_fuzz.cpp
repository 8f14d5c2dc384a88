// Fuzz target: the log switch file reader (log.ini) on any file the card could put there. The
// switch ends as the value of the last "@LOGEN;" line, or unchanged without one.
#include "fuzz_input.h"
#include "logging/log.h"
#include "platform/text.h"

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    logEnable = -7;  // a value no line can give without digits and a minus sign
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    FILE* f = fmemopen(text.data(), size > 0 ? size : 1, "r");
    if (f == nullptr) return 0;
    ReadLogConfigFrom(f);
    std::fclose(f);
    // A switch line that starts a line of the file shorter than the reader's piece size must
    // have been read: the last such line's value wins when no later piece begins with the key.
    std::string all(data, data + size);
    bool anyKey = all.find("@LOGEN;") != std::string::npos;
    fuzzinput::Check(anyKey || logEnable == -7, "switch unchanged without a switch line");
    return 0;
}
