// The day files of one transcript tree on a card (AT_CMD_LOG, QMI_LOG), read whole, in date order.
// Shared by the readers of the AT and QMI transcripts.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return texts;
}
