// Reading the QMI transcript back: every record of every day file under a card's QMI_LOG tree,
// as (API text, value text) pairs in file order. Shared by the board and end-to-end tests.
#pragma once

#include "transcript_files.h"

#include <string>
#include <utility>
#include <vector>

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
