// Fuzz target: the mode-1 client's reading of a server's initial packet (any block a server could
// send) into its reply, and the server's check of that reply. The first four bytes are the
// configured interval; the rest is the packet as received. The reply must be terminated within
// its block, and whenever the packet is what a server sends (ten letters and digits) the server's
// check must accept the reply with exactly the configured interval.
#include "fuzz_input.h"
#include "tunnel/internal.h"

#include <cctype>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 4) return 0;
    int32_t interval;
    std::memcpy(&interval, data, sizeof interval);
    int got = static_cast<int>(std::min<std::size_t>(size - 4, kLirnBlockSize));
    std::unique_ptr<char[]> packet(new char[kLirnBlockSize]);
    std::memset(packet.get(), 0, kLirnBlockSize);
    std::memcpy(packet.get(), data + 4, static_cast<std::size_t>(got));

    std::unique_ptr<char[]> reply(new char[kLirnBlockSize]);
    LirnBuildInitReply(reply.get(), packet.get(), got, interval);
    fuzzinput::CheckTerminated(reply.get(), kLirnBlockSize, "the reply block");

    bool serverPacket = got >= 10 && (got == 10 || packet[10] == '\0');
    for (int i = 0; serverPacket && i < 10; ++i) serverPacket = std::isalnum(static_cast<unsigned char>(packet[i])) != 0;
    if (serverPacket) {
        int parsed = 0;
        fuzzinput::Check(LirnCheckInitReply(packet.get(), reply.get(), kLirnBlockSize, &parsed), "the server takes the reply");
        fuzzinput::Check(parsed == interval, "the server reads the configured interval");
    }
    return 0;
}
