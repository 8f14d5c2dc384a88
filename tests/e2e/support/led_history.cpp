#include "led_history.h"

#include <algorithm>
#include <sstream>

std::vector<LedChange> ParseLedHistory(const std::string& reply)
{
    std::vector<LedChange> changes;
    if (reply.compare(0, 2, "ok") != 0) return changes;
    std::istringstream in(reply.substr(2));
    std::string item;
    while (in >> item) {
        std::size_t colon = item.find(':');
        if (colon == std::string::npos) continue;
        changes.push_back({std::stoll(item.substr(0, colon)), std::stoi(item.substr(colon + 1))});
    }
    return changes;
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

}  // namespace

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
