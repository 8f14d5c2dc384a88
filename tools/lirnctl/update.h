// A signed image sent to one gateway over the broker, resumed where the gateway stands, and
// followed to its result.
//
// The image's header goes on PREFIX/ID/update/begin, its bytes in chunks on
// PREFIX/ID/update/data/OFFSET (QoS 1); the gateway answers on PREFIX/ID/update/status with where
// it stands ({"state", "version", "offset", "size", "result", "resend"}). "resend" asks the sender
// to go on from the offset given: the answer to the header, a piece that came beyond what the
// gateway holds, a gateway back after a lost link or a restart. The chunks stay within a window
// beyond the offset the gateway last told, so a gateway that is away holds up the sender rather
// than filling the broker's queue. Once the gateway has checked the whole image it restarts into
// the trial, and the result comes in its retained state document ("update": state, version,
// result).
#pragma once

#include "broker.h"

#include <cstdint>
#include <functional>
#include <string>

namespace lirnctl {

// Bytes of one data message, and how far the chunks may run ahead of what the gateway told it
// holds: two of its flushes (it tells each one), so the stream never waits on a flush.
inline constexpr std::size_t kUpdateChunkBytes = 4096;
inline constexpr std::size_t kUpdateWindowBytes = std::size_t{128} << 10;

struct UpdatePlan {
    std::size_t rate = 0;   // bytes a second at most; 0: as fast as the broker takes them
    Millis answerWithin;    // a silent gateway is asked again where it stands after this
    Clock::time_point deadline;
};

// What the sender shows as it goes.
struct UpdateProgress {
    uint64_t held = 0, size = 0;  // the bytes the gateway holds of the image's
    std::string event;            // a step worth a line of its own ("" for progress alone)
};

struct UpdateOutcome {
    uint32_t build = 0;
    uint64_t size = 0;
    int resumes = 0;     // times the gateway asked to go on from an earlier offset
    std::string result;  // the gateway's: "ok", "refused: ...", "rolled back: ..."
    bool ok = false;
};

// Sends the image at path to the gateway o names and waits for its result. Throws Failure: usage
// for a file that is no update image, refused when the gateway refuses the image or another one is
// on trial, no answer for a broker that fails or a gateway silent until the deadline.
UpdateOutcome SendUpdate(const BrokerOptions& o, const std::string& path, const UpdatePlan& plan,
                         const std::function<void(const UpdateProgress&)>& show);

}  // namespace lirnctl
