// The console's requests over the broker: the runner of the MQTT mode's command channel.
//
// ThreadRemoteConsole takes one request at a time from the channel's inbox (mqtt/remote.h), cuts
// its line as the console cuts a burst, and runs the console's own dispatcher on it with the
// channel as its sink: the reply is exactly the bytes the port would have carried, a request the
// console leaves unanswered gives an empty reply. Over this sink secrets are answered masked, a
// save is kept on trial (config.h), and a reboot waits until the broker has the reply. A long
// handler (a day file, a save with its flushes) blocks this thread only, never the session. A
// program on trial answers nothing until it has promoted itself (update/trial.h).
#include "console/console.h"

#include "board/ticks.h"
#include "mqtt/remote.h"
#include "update/trial.h"

#include <cstdio>

namespace {

// How long a reboot waits for the broker to acknowledge its reply: a request acknowledged before
// a restart is never delivered again.
constexpr uint32_t kRebootReplyWaitMs = 10000;

void ChannelWrite(const UtilitySink*, const char* data, std::size_t n)
{
    RemoteReplyWrite(data, n);
}

void ChannelSettle(const UtilitySink*)
{
    if (!RemoteReplySettle(kRebootReplyWaitMs)) std::puts("Remote Reply Not Acknowledged Before The Reboot\r");
}

const UtilitySink kChannel = {ChannelWrite, ChannelSettle, -1, true};

}  // namespace

bool RemoteConsolePass(uint32_t waitMs)
{
    // A program on trial takes no request until it has promoted itself (at most one supervisor
    // pass after the broker is reached): a setting saved now would be judged by the same sign as
    // the program, and a rollback would take it with the program. Requests wait in the inbox.
    uint32_t seen = SharedSeq();
    if (UpdateOnTrial()) {
        SharedWait(seen, waitMs);
        return false;
    }
    RemoteRequest r;
    if (!RemoteTake(&r, waitMs)) return false;
    char* line = UtilityRequestLine(r.line, r.len);
    std::printf("Remote Command %s: \"%s\"\r\n", r.rid, line != nullptr ? line : "");
    if (line != nullptr) UtilityDispatchTo(&kChannel, line);
    RemoteReplyEnd();
    return true;
}

void* ThreadRemoteConsole(void*)
{
    ThreadName("lirn-remote");
    for (;;) RemoteConsolePass(kWaitForever);
}
