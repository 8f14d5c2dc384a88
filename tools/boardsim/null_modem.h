// The RS-232 port of the board, wired like a null-modem cable to the PC.
//
// Two ptys: the firmware opens the slave linked at dev/ttyHSL3, a terminal, the PC tool or a test
// opens the slave linked at pc/ttyS0. One thread relays the bytes between the two masters in both
// directions, byte for byte. A side that does not read holds the other back (bounded buffering,
// no loss): its pty fills, the relay stops taking bytes from the far side, and that side's writes
// wait, as they would behind hardware flow control. Paced, the cable carries each direction at the
// rate of the line the firmware set on its port (start bit, data bits, parity, stop bits), as a
// real one does; unpaced (the default), as fast as the ptys take the bytes.
#pragma once

#include "board_loop.h"
#include "pty_link.h"

#include <atomic>
#include <cstdint>
#include <string>

class NullModem {
public:
    // Creates both ptys and their links. Throws std::runtime_error on failure.
    NullModem(const std::string& boardLink, const std::string& pcLink);
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    void Start();
    void Stop();

    // Bytes carried so far: from the board's port to the PC, and from the PC to the board.
    uint64_t BytesToPc() const { return toPc_; }
    uint64_t BytesToBoard() const { return toBoard_; }
    void SetPaced(bool on);
    bool Paced() const { return paced_; }

private:
    void Run();

    std::string boardLink_;
    std::string pcLink_;
    LinkedPty board_;
    LinkedPty pc_;
    std::atomic<uint64_t> toPc_{0};
    std::atomic<uint64_t> toBoard_{0};
    std::atomic<bool> paced_{false};
    BoardLoop loop_;
};
