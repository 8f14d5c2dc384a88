// Reading the board's LEDs (see led_history.h).
#include "led_history.h"

#include <algorithm>
#include <sstream>

std::vector<LedChange> ParseLedHistory(const std::string& reply)
{
    std::vector<LedChange> changes;
    if (!ControlOk(reply)) return changes;
    std::istringstream in(reply.substr(2));
    std::string item;
    while (in >> item) {
        std::size_t colon = item.find(':');
        if (colon == std::string::npos) continue;
        changes.push_back({std::stoll(item.substr(0, colon)), std::stoi(item.substr(colon + 1))});
    }
    return changes;
}

std::vector<LedChange> LedHistory(Board& board, const std::string& led, long long sinceMs)
{
    std::string request = "led " + led + " history";
    if (sinceMs >= 0) request += " " + std::to_string(sinceMs);
    return ParseLedHistory(board.Control(request));
}

long long BoardNowMs(Board& board)
{
    std::string reply = board.Control("now");
    return reply.rfind("ok ", 0) == 0 ? std::stoll(reply.substr(3)) : -1;
}

std::vector<LedPhase> LedPhases(const std::vector<LedChange>& changes)
{
    std::vector<LedPhase> phases;
    for (std::size_t i = 1; i < changes.size(); ++i)
        phases.push_back({changes[i - 1].level, changes[i].atMs - changes[i - 1].atMs});
    return phases;
}

namespace {

bool WithinSlack(long long ms, long long want, long long shortSlack, long long longSlack)
{
    return ms >= want - shortSlack && ms <= want + longSlack;
}

// The median duration of the phases at one level; -1 when there are none.
long long MedianPhase(const std::vector<LedPhase>& phases, int level)
{
    std::vector<long long> ms;
    for (const LedPhase& p : phases)
        if (p.level == level) ms.push_back(p.ms);
    if (ms.empty()) return -1;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// Whether the lit phase that ends at changes[fall] and the dark phase after it match the pattern.
bool MatchesAt(const std::vector<LedChange>& changes, std::size_t fall, Blink pattern)
{
    return changes[fall - 1].level == 1 && changes[fall].level == 0 && changes[fall + 1].level == 1 &&
           WithinSlack(changes[fall].atMs - changes[fall - 1].atMs, pattern.onMs, kPhaseShortSlackMs,
                       kPhaseLongSlackMs) &&
           WithinSlack(changes[fall + 1].atMs - changes[fall].atMs, pattern.offMs, kPhaseShortSlackMs,
                       kPhaseLongSlackMs);
}

}  // namespace

bool BlinksLately(const std::vector<LedChange>& changes, Blink pattern)
{
    for (std::size_t fall = changes.size() >= 2 ? changes.size() - 2 : 0; fall >= 1; --fall)
        if (changes[fall - 1].level == 1 && changes[fall].level == 0 && changes[fall + 1].level == 1)
            return MatchesAt(changes, fall, pattern);
    return false;
}

bool SteadilyLit(Board& board, const std::string& led, long long quietMs)
{
    std::vector<LedChange> changes = LedHistory(board, led);
    long long now = BoardNowMs(board);
    return !changes.empty() && now >= 0 && changes.back().level == 1 && now - changes.back().atMs >= quietMs;
}

bool PhasesMatch(const std::vector<LedPhase>& phases, long long onMs, long long offMs, std::string* why)
{
    std::string text = LedPhasesText(phases);
    for (std::size_t i = 0; i < phases.size(); ++i) {
        long long want = phases[i].level == 1 ? onMs : offMs;
        if (WithinSlack(phases[i].ms, want, kPhaseShortSlackMs, kPhaseLongSlackMs)) continue;
        if (why != nullptr)
            *why = "phase " + std::to_string(i) + (phases[i].level == 1 ? " lit " : " dark ") +
                   std::to_string(phases[i].ms) + " ms, want " + std::to_string(want) + " in " + text;
        return false;
    }
    for (int level : {1, 0}) {
        long long want = level == 1 ? onMs : offMs;
        long long median = MedianPhase(phases, level);
        if (median < 0 || WithinSlack(median, want, kMedianShortSlackMs, kMedianLongSlackMs)) continue;
        if (why != nullptr)
            *why = std::string(level == 1 ? "lit" : "dark") + " phases typically " + std::to_string(median) +
                   " ms, want " + std::to_string(want) + " in " + text;
        return false;
    }
    return true;
}

std::string LedPhasesText(const std::vector<LedPhase>& phases)
{
    std::string out;
    for (const LedPhase& p : phases) out += std::to_string(p.level) + ":" + std::to_string(p.ms) + " ";
    return out;
}
