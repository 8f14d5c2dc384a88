// Reading the AT transcript back: every record of every day file under a card's AT_CMD_LOG tree,
// as (command, answer) pairs in file order. The command keeps the "\r\n" it was sent with; the
// answer is the text as the poll read it.
#pragma once

#include "transcript_files.h"

#include <string>
#include <vector>

struct AtTranscriptRecord {
    std::string command;
    std::string answer;
};

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
