// Fuzz target: the log switch file reader (log.ini) on any file the card could put there. Without
// a "@LOGEN;" line anywhere the switch stays as it was; in a file of ordinary lines (no zero byte,
// none longer than the reader's 127-character piece) the last switch line's number wins.
#include "fuzz_input.h"
#include "logging/log.h"
#include "platform/text.h"

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    logEnable = -7;  // a value no line can give without digits and a minus sign
    fuzzinput::ReadAsFile(data, size, ReadLogConfigFrom);
    std::string all(data, data + size);
    bool anyKey = all.find("@LOGEN;") != std::string::npos;
    fuzzinput::Check(anyKey || logEnable == -7, "switch unchanged without a switch line");

    bool ordinary = all.find('\0') == std::string::npos;
    std::string lastValue;
    bool found = false;
    for (std::size_t start = 0; ordinary && start < all.size();) {
        std::size_t end = all.find('\n', start);
        end = end == std::string::npos ? all.size() : end + 1;
        std::string line = all.substr(start, end - start);
        ordinary = line.size() <= 127;
        if (line.rfind("@LOGEN;", 0) == 0) {
            found = true;
            lastValue = line.substr(7);
            lastValue = lastValue.substr(0, lastValue.find_first_of("\r\n"));
        }
        start = end;
    }
    if (ordinary && found) fuzzinput::Check(logEnable == DecimalValue(lastValue.c_str()), "the last switch line wins");
    return 0;
}
