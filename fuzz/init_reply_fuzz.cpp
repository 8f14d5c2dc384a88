// Fuzz target: the mode-2 server's check of a client's reply to its initial packet, on any block
// a client could send. The first input byte picks the packet the server sent (the ten letters and
// digits it always sends); the rest is the reply as received, at most one block, in an area of
// exactly one block as the link manager's. An accepted reply holds the packet and the ten at signs.
#include "fuzz_input.h"
#include "tunnel/internal.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    static const char kPackets[][11] = {"aB3dE5gH7j", "0000000000", "ZZZZZZZZZZ", "a1a1a1a1a1"};
    char sent[kLirnBlockSize] = {};
    std::memcpy(sent, kPackets[data[0] % 4], 10);

    int got = static_cast<int>(std::min<std::size_t>(size - 1, kLirnBlockSize));
    std::unique_ptr<char[]> block(new char[kLirnBlockSize]);
    std::memset(block.get(), 0, kLirnBlockSize);
    std::memcpy(block.get(), data + 1, static_cast<std::size_t>(got));

    int interval = -12345;
    bool accepted = LirnCheckInitReply(sent, block.get(), got, &interval);
    std::string reply(block.get(), static_cast<std::size_t>(got));
    std::size_t at = reply.find(sent);
    fuzzinput::Check(!accepted || (at != std::string::npos && reply.find("@@@@@@@@@@", at + 10) != std::string::npos),
                     "an accepted reply holds the packet and the separator after it");
    fuzzinput::Check(accepted || interval == -12345, "a refused reply leaves the interval alone");
    return 0;
}
