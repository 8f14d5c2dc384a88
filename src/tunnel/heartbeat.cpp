// Heartbeat supervision: the second connection of modes 1 and 2 shows that the link is alive.
//
// A client (mode 1) sends one block of zero bytes on the heartbeat connection every configured
// interval; a server (mode 2) expects something on it within every window of the interval its
// client announced plus the 5-second receive wait, and drops a client that stays silent. Only the
// heartbeat thread touches the last-heartbeat ticks below.
#include "tunnel/internal.h"

#include "board/ticks.h"

#include <cstdio>

namespace {

// Mode 1: tick of the last heartbeat sent (or of the thread's start).
uint32_t gLastHbTick;
// Mode 2: per child slot, tick of the last heartbeat received (or of the slot's handshake), and
// whether the slot was under supervision at the previous pass.
uint32_t gChildHbTick[kLirnChildSlots];
bool gSupervised[kLirnChildSlots];

// A client's heartbeat: one block of zero bytes.
const char kHeartbeatBlock[kLirnBlockSize] = {};

void PassMode1()
{
    uint32_t seen = SharedSeq();
    uint32_t link = LinkSeen();
    uint32_t due = TickSecondsToMs(lirnChild[0].lirnHbInterval);
    if (lirnConnect != 1) {
        SharedWait(seen, kWaitForever);  // until the link is up
        return;
    }
    uint32_t elapsed = TickElapsed(gLastHbTick, GetTimeTicks());
    if (elapsed < due) {
        SharedWait(seen, due - elapsed);  // until the heartbeat is due, or the link drops
        return;
    }
    if (LirnSend(lirnHb, kHeartbeatBlock) != 0) {
        // The last tick stays: the first heartbeat on the next link goes out as soon as it is up.
        if (LinkLower(link)) std::puts("Send HB Failed\r");
        return;
    }
    std::puts("Send HB Successfully\r");
    gLastHbTick = GetTimeTicks();
}

// Receives the due heartbeat of one supervised slot (waiting up to 5 s).
void SuperviseSlot(int slot, uint32_t link)
{
    char block[kLirnBlockSize];  // what a heartbeat holds does not matter, only that it came
    int got = LirnChildRecv(lirnChild[slot].lirnHbChild, block);
    if (got > 0) {
        gChildHbTick[slot] = GetTimeTicks();
        return;
    }
    if (got == 0) {
        // The listeners stay open: the link manager takes the next client.
        std::printf("[%d] Receive HB Timeout\r\n", slot);
        LinkDropClient(slot);
        return;
    }
    if (LinkLower(link)) std::printf("[%d] Receive HB Error\r\n", slot);
}

void PassMode2()
{
    uint32_t seen = SharedSeq();
    uint32_t link = LinkSeen();
    uint32_t now = GetTimeTicks();
    bool received = false;
    uint32_t wait = kWaitForever;
    for (int i = 0; i < kLirnChildSlots; ++i) {
        // A slot's first window opens with its handshake, not with the listeners: until the
        // slot is supervised (and while the link is down) its tick follows the clock.
        if (lirnConnect == 0 || lirnChild[i].lirnChildConnect != 1) {
            gChildHbTick[i] = now;
            gSupervised[i] = false;
            continue;
        }
        if (!gSupervised[i]) {
            gSupervised[i] = true;
            gChildHbTick[i] = now;
        }
        uint32_t window = TickSecondsToMs(lirnChild[i].lirnHbInterval);
        uint32_t elapsed = TickElapsed(gChildHbTick[i], now);
        if (elapsed < window) {
            if (window - elapsed < wait) wait = window - elapsed;
            continue;
        }
        SuperviseSlot(i, link);
        received = true;
    }
    if (!received) SharedWait(seen, wait);  // until a window ends or a slot or the link changes
}

}  // namespace

void LirnHbStart()
{
    uint32_t now = GetTimeTicks();
    gLastHbTick = now;
    for (uint32_t& tick : gChildHbTick) tick = now;
    for (bool& supervised : gSupervised) supervised = false;
}

void LirnHbPass()
{
    switch (lirnMode) {
    case 1: PassMode1(); break;
    case 2: PassMode2(); break;
    default: SleepMs(kIdlePauseMs); break;
    }
}

void* ThreadLirnHb(void*)
{
    ThreadName("lirn-hb");
    int mode = lirnMode;
    if (mode != 1 && mode != 2) return nullptr;
    LirnHbStart();
    for (;;) LirnHbPass();
}
