// Fuzz target: the AT channel's framing of a reply. The input is what the module has sent when
// the exchange reads (any bytes, any length); one exchange writes a command and reads once. The
// reply must be exactly the bytes that arrived first, at most one area less its terminator, cut at
// the first zero byte; then every use the poll makes of a reply takes it.
#include "fuzz_input.h"
#include "modem/internal.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Channel {
    int firmware = -1;  // the firmware's end, as the AT device
    int module = -1;    // the module's end
};

Channel Open()
{
    int sv[2];
    fuzzinput::Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
    int big = 1 << 16;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    return {sv[0], sv[1]};
}

void Drain(int fd)
{
    char sink[4096];
    while (read(fd, sink, sizeof sink) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // An empty answer would make the exchange wait out its first-byte time.
    if (size == 0) return 0;
    static const Channel ch = Open();
    std::size_t sent = std::min<std::size_t>(size, 8192);
    fuzzinput::Check(write(ch.module, data, sent) == static_cast<ssize_t>(sent), "the answer fits the channel");

    static AtChannel at;
    at.fd = ch.firmware;
    std::snprintf(at.command, sizeof at.command, "%s", "AT+CSQ\r\n");
    AtExchange(at, 0);
    std::size_t first = std::min<std::size_t>(sent, kAtBufferSize - 1);
    std::size_t text = strnlen(reinterpret_cast<const char*>(data), first);
    fuzzinput::CheckTerminated(at.reply, sizeof at.reply, "the reply");
    fuzzinput::Check(std::strlen(at.reply) == text && std::memcmp(at.reply, data, text) == 0,
                     "the reply is what arrived first, up to its first zero byte");
    for (ReplyUse use : {ReplyUse::Model, ReplyUse::Imei, ReplyUse::Registration, ReplyUse::Signal, ReplyUse::SystemMode})
        ModemUseReply(use, at.reply);
    fuzzinput::CheckTerminated(modem_imei, sizeof modem_imei, "modem_imei");
    fuzzinput::CheckTerminated(str_gmm, sizeof str_gmm, "str_gmm");

    // The next input starts on an empty channel: what this read left, and the command sent.
    fcntl(ch.firmware, F_SETFL, O_NONBLOCK);
    Drain(ch.firmware);
    fcntl(ch.firmware, F_SETFL, 0);
    Drain(ch.module);
    return 0;
}
