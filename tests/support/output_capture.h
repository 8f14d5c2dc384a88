// What the code under test prints, caught: standard output (or another descriptor) goes to a
// temporary file while the capture lives or until Release, and Text reads what came so far.
// GoogleTest prints its failure reports on standard output too, so a capture that ends after a
// failure shows what it caught on standard error instead of swallowing the reports.
#pragma once

#include "temp_dir.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <unistd.h>

// How often what occurs in text, counted without overlaps.
inline int Occurrences(const std::string& text, const std::string& what)
{
    if (what.empty()) return 0;
    int n = 0;
    for (std::size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + what.size())) ++n;
    return n;
}

class OutputCapture {
public:
    explicit OutputCapture(int fd = STDOUT_FILENO) : fd_(fd)
    {
        char path[] = "/tmp/lirn-output.XXXXXX";
        int file = mkstemp(path);
        if (file < 0) throw std::runtime_error("mkstemp failed");
        path_ = path;
        std::fflush(nullptr);
        saved_ = dup(fd_);
        dup2(file, fd_);
        close(file);
    }
    ~OutputCapture()
    {
        std::string text = Release();
        if (::testing::Test::HasFailure() && !text.empty())
            std::fprintf(stderr, "--- captured output ---\n%s--- end ---\n", text.c_str());
        unlink(path_.c_str());
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    std::string Text() const
    {
        std::fflush(nullptr);
        return ReadWholeFile(path_);
    }
    // Gives the descriptor back and returns everything caught.
    std::string Release()
    {
        std::string text = Text();
        if (saved_ >= 0) {
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
        return text;
    }
    bool WaitFor(const std::string& text, Millis timeout) const
    {
        return WaitUntil([&] { return Text().find(text) != std::string::npos; }, timeout);
    }
    int Count(const std::string& text) const { return Occurrences(Text(), text); }

private:
    int fd_;
    int saved_ = -1;
    std::string path_;
};

// Everything fn printed on standard output.
template <class Fn>
std::string Printed(Fn&& fn)
{
    OutputCapture out;
    fn();
    return out.Release();
}
