// Fuzz target: console request lines through the real framing and dispatch, in a temporary
// sysroot. Every command the requests can start (ls, sed, df, awk, mkdir, init, date) has a
// stand-in there first on PATH that only records its arguments, so no request touches anything
// outside the sysroot: "@REBOOT" reboots nothing, "@SAVE" and "@LOGSAVE" write the sysroot's files.
//
// The input is a series of bursts separated by line feeds (at most 1000 bytes each, as the port is
// read); replies go to /dev/null. The record's texts must stay terminated whatever was stored.
#include "config/config.h"
#include "console/console.h"
#include "fuzz_input.h"
#include "logging/log.h"
#include "platform/shell.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kStandIns[] = {"ls", "sed", "df", "awk", "mkdir", "init", "date"};

const char kDayFile[] = "/media/card/USR_LOG/2026/01/02.txt";

// "@LOGDEL;2026;01;02" removes it; later inputs should still find a file to send.
void PutDayFile()
{
    std::string path = fuzzinput::TempSysroot() + kDayFile;
    if (access(path.c_str(), F_OK) != 0) std::ofstream(path) << "Time=>00:00:00\r\nline\r\n";
}

// Builds the sysroot once: the stand-ins, the configuration directory and the card's log tree.
int Prepare()
{
    namespace fs = std::filesystem;
    const std::string& root = fuzzinput::TempSysroot();
    fs::create_directories(root + "/bin");
    fs::create_directories(root + "/board");
    fs::create_directories(root + "/APP");
    fs::create_directories(root + "/media/card/USR_LOG/2026/01");
    for (const char* name : kStandIns) {
        std::string path = root + "/bin/" + name;
        std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$*\" > '" << root << "/board/" << name << ".last'\n";
        chmod(path.c_str(), 0755);
    }
    ShellInit();
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    fuzzinput::Check(fd >= 0, "/dev/null opens");
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const int replyFd = Prepare();
    PutDayFile();
    InitLirnConfig();
    logEnable = 0;
    std::size_t start = 0;
    while (start < size) {
        const void* nl = std::memchr(data + start, '\n', size - start);
        std::size_t end = nl ? static_cast<std::size_t>(static_cast<const uint8_t*>(nl) - data) : size;
        std::size_t n = std::min<std::size_t>(end - start, kUtilityReadLimit);
        char burst[kUtilityRecvSize];
        std::memcpy(burst, data + start, n);
        char* line = UtilityRequestLine(burst, n);
        if (line != nullptr) UtilityDispatch(replyFd, line);
        start = end + 1;
    }
    fuzzinput::CheckConfigTexts();
    return 0;
}
