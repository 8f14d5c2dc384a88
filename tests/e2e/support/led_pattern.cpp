// Reading the board's LEDs (see led_pattern.h).
#include "led_pattern.h"

#include <sstream>

namespace {

// The firmware switches a LED once a phase has lasted its time, so a phase is never much shorter
// than its pattern's; on a loaded machine it may run longer.
constexpr long long kPhaseEarlyMs = 50;
constexpr long long kPhaseLateMs = 400;

bool PhaseLasts(long long durationMs, int nominalMs)
{
    return durationMs >= nominalMs - kPhaseEarlyMs && durationMs <= nominalMs + kPhaseLateMs;
}

// Whether the lit phase that ends at changes[fall] and the dark phase after it match the pattern.
bool MatchesAt(const std::vector<LedChange>& changes, std::size_t fall, Blink pattern)
{
    return changes[fall - 1].level == 1 && changes[fall].level == 0 && changes[fall + 1].level == 1 &&
           PhaseLasts(changes[fall].atMs - changes[fall - 1].atMs, pattern.onMs) &&
           PhaseLasts(changes[fall + 1].atMs - changes[fall].atMs, pattern.offMs);
}

}  // namespace

std::vector<LedChange> LedHistory(Board& board, const std::string& led, long long sinceMs)
{
    std::string request = "led " + led + " history";
    if (sinceMs >= 0) request += " " + std::to_string(sinceMs);
    std::string reply = board.Control(request);
    std::vector<LedChange> changes;
    if (reply.rfind("ok", 0) != 0) return changes;
    std::istringstream in(reply.substr(2));
    for (std::string item; in >> item;) {
        std::size_t colon = item.find(':');
        if (colon != std::string::npos)
            changes.push_back({std::stoll(item.substr(0, colon)), std::stoi(item.substr(colon + 1))});
    }
    return changes;
}

long long BoardNowMs(Board& board)
{
    std::string reply = board.Control("now");
    return reply.rfind("ok ", 0) == 0 ? std::stoll(reply.substr(3)) : -1;
}

bool BlinksLately(const std::vector<LedChange>& changes, Blink pattern)
{
    for (std::size_t fall = changes.size() >= 2 ? changes.size() - 2 : 0; fall >= 1; --fall)
        if (changes[fall - 1].level == 1 && changes[fall].level == 0 && changes[fall + 1].level == 1)
            return MatchesAt(changes, fall, pattern);
    return false;
}

bool BlinkedOnce(const std::vector<LedChange>& changes, Blink pattern)
{
    for (std::size_t fall = 1; fall + 1 < changes.size(); ++fall)
        if (MatchesAt(changes, fall, pattern)) return true;
    return false;
}

bool SteadilyLit(Board& board, const std::string& led, long long quietMs)
{
    std::vector<LedChange> changes = LedHistory(board, led);
    long long now = BoardNowMs(board);
    return !changes.empty() && now >= 0 && changes.back().level == 1 && now - changes.back().atMs >= quietMs;
}
