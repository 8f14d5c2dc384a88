// Reading the firmware's transcripts back from a card: the day files of one tree (AT_CMD_LOG,
// QMI_LOG) in date order, and their records. Shared by the unit, board and end-to-end tests.
#pragma once

#include "temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

inline std::vector<std::string> TranscriptDayTexts(const std::string& cardDir, const char* tree)
{
    std::vector<std::string> texts;
    std::filesystem::path root = std::filesystem::path(cardDir) / tree;
    if (!std::filesystem::exists(root)) return texts;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());  // YYYY/MM/DD.txt: path order is date order
    for (const auto& file : files) texts.push_back(ReadWholeFile(file));
    return texts;
}

// Every QMI record of the card, as (API text, value text) pairs in file order.
inline std::vector<std::pair<std::string, std::string>> QmiTranscriptRecords(const std::string& cardDir)
{
    std::vector<std::pair<std::string, std::string>> records;
    for (const std::string& text : TranscriptDayTexts(cardDir, "QMI_LOG")) {
        const std::string api = "API=>", response = "\r\nResponse=>";
        for (std::size_t at = 0; (at = text.find(api, at)) != std::string::npos;) {
            std::size_t apiEnd = text.find(response, at);
            if (apiEnd == std::string::npos) break;
            std::size_t valueEnd = text.find("\r\n", apiEnd + response.size());
            if (valueEnd == std::string::npos) break;
            records.emplace_back(text.substr(at + api.size(), apiEnd - at - api.size()),
                                 text.substr(apiEnd + response.size(), valueEnd - apiEnd - response.size()));
            at = valueEnd;
        }
    }
    return records;
}

// One AT record: the command keeps the "\r\n" it was sent with; the answer is the text as the poll
// read it.
struct AtTranscriptRecord {
    std::string command;
    std::string answer;
};

// Every AT record of the card, in file order.
inline std::vector<AtTranscriptRecord> AtTranscriptRecords(const std::string& cardDir)
{
    std::vector<AtTranscriptRecord> records;
    // "Time=>T\r\nCmmand=>C\r\nResponse=>\r\nA\r\n", one after the other.
    const std::string time = "Time=>", command = "\r\nCmmand=>", answer = "\r\nResponse=>\r\n";
    for (const std::string& text : TranscriptDayTexts(cardDir, "AT_CMD_LOG")) {
        for (std::size_t at = text.find(time); at != std::string::npos;) {
            std::size_t c = text.find(command, at);
            std::size_t a = c == std::string::npos ? c : text.find(answer, c);
            if (a == std::string::npos) break;
            std::size_t next = text.find("\r\n" + time, a + answer.size());
            std::size_t end = next == std::string::npos ? text.size() : next + 2;
            // The record's own "\r\n" ends the answer; a record still being written has none yet.
            if (end < a + answer.size() + 2 || text.compare(end - 2, 2, "\r\n") != 0) break;
            records.push_back({text.substr(c + command.size(), a - c - command.size()),
                               text.substr(a + answer.size(), end - 2 - a - answer.size())});
            at = next == std::string::npos ? next : next + 2;
        }
    }
    return records;
}
