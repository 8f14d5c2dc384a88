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

#include "config/config.h"
#include "platform/sysroot.h"

#include <filesystem>
#include <string>

namespace fuzzinput {

// A temporary directory made the firmware's sysroot for the whole run (on /dev/shm when there is
// one, so that the files written per input cost no disk flushes), removed at exit. Returns its path.
inline const std::string& TempSysroot()
{
    static std::string root = [] {
        std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/lirn-fuzz-XXXXXX"
                                                                          : "/tmp/lirn-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        SysrootSet(pattern.c_str());
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(SysrootDir(), ignored);
        });
        return pattern;
    }();
    return root;
}

// Hands the input to a reader of an open file, as if it were the whole file.
inline void ReadAsFile(const uint8_t* data, std::size_t size, void (*reader)(FILE*))
{
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    // fmemopen needs a non-empty area; a lone zero byte reads as no line, like an empty file.
    FILE* f = fmemopen(text.data(), size > 0 ? size : 1, "r");
    Check(f != nullptr, "fmemopen");
    reader(f);
    std::fclose(f);
}

// Every text of the configuration record is terminated within its field.
inline void CheckConfigTexts()
{
    CheckTerminated(lirnSet.serverIp, sizeof lirnSet.serverIp, "serverIp");
    CheckTerminated(lirnSet.pinCode, sizeof lirnSet.pinCode, "pinCode");
    CheckTerminated(lirnSet.apn, sizeof lirnSet.apn, "apn");
    CheckTerminated(lirnSet.modemUser, sizeof lirnSet.modemUser, "modemUser");
    CheckTerminated(lirnSet.modemPassword, sizeof lirnSet.modemPassword, "modemPassword");
    CheckTerminated(lirnSet.mqttHost, sizeof lirnSet.mqttHost, "mqttHost");
    CheckTerminated(lirnSet.mqttTopic, sizeof lirnSet.mqttTopic, "mqttTopic");
    Check(MqttHostAcceptable(lirnSet.mqttHost), "a stored broker host passes its check");
    Check(MqttTopicAcceptable(lirnSet.mqttTopic), "a stored topic prefix passes its check");
}

}  // namespace fuzzinput
