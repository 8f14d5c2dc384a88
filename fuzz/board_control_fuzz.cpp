// Fuzz target: the simulated board's control requests, as a client sends them on board.sock. A
// board with every device of its table but no firmware lives in a temporary directory; each input
// line is one request. Every reply must be one line that starts with "ok" or "err".
//
// Requests can queue device output that nobody reads here (urc, raw), so the board is built afresh
// every kRequestsPerBoard inputs to keep memory flat over millions of runs.
#include "fuzz_input.h"
#include "sim_board.h"

#include <memory>

namespace {

constexpr int kRequestsPerBoard = 2000;

std::unique_ptr<SimBoard> gBoard;
int gUses = 0;

SimBoard& Board()
{
    if (gBoard == nullptr || ++gUses >= kRequestsPerBoard) {
        gBoard.reset();
        gUses = 0;
        BoardOptions o;
        o.root = fuzzinput::TempSysroot() + "/board";
        gBoard = std::make_unique<SimBoard>(o);
    }
    return *gBoard;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    SimBoard& board = Board();
    std::string all(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        std::string reply = board.Request(all.substr(start, end - start));
        fuzzinput::Check(reply.rfind("ok", 0) == 0 || reply.rfind("err", 0) == 0, "a reply starts with ok or err");
        fuzzinput::Check(reply.find('\n') == std::string::npos, "a reply is one line");
        start = end + 1;
    }
    return 0;
}
