// A fresh directory for one test, removed with everything in it at the end, and the whole-file
// reading and writing the tests do. Shared by the unit, board and end-to-end tests; header-only,
// so that each test library takes it without linking anything.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// The whole content of a file; "" when it cannot be read.
inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a whole file (created or truncated), making its directories first. False on failure.
inline bool WriteWholeFile(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) return false;
    }
    return chmod(path.c_str(), mode) == 0;
}

// True when anything (a file, a directory, a dangling link) has the name.
inline bool PathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class TempDir {
public:
    // /tmp/<prefix>.XXXXXX: short, because a control socket's path inside must fit its 108 bytes.
    explicit TempDir(const char* prefix = "lirn-test")
    {
        std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
    }
    ~TempDir()
    {
        if (keep_) return;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return dir_; }
    // A path inside the directory, given relative to it ("APP/fw") or as a system path ("/APP/fw").
    std::string Path(const std::string& inside) const
    {
        return inside.empty() || inside[0] == '/' ? dir_ + inside : dir_ + "/" + inside;
    }
    std::string operator/(const std::string& inside) const { return Path(inside); }

    void MakeDirs(const std::string& inside) const { std::filesystem::create_directories(Path(inside)); }
    bool WriteFile(const std::string& inside, const std::string& content, mode_t mode = 0644) const
    {
        return WriteWholeFile(Path(inside), content, mode);
    }
    std::string ReadFile(const std::string& inside) const { return ReadWholeFile(Path(inside)); }
    bool Exists(const std::string& inside) const { return PathExists(Path(inside)); }

    // Leaves the directory in place at the end, for a look after a failure.
    void Keep() { keep_ = true; }

private:
    std::string dir_;
    bool keep_ = false;
};
