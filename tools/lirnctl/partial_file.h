// A file written under a temporary name beside its target (TARGET.part) and renamed to the target
// once whole, so that no failed, cut or interrupted transfer leaves a file that looks complete:
// the partial file goes when the transfer fails, and when SIGINT, SIGTERM or SIGHUP ends the
// program while it is written (the signal then ends the program as it would have).
#pragma once

#include <cstdio>
#include <string>

namespace lirnctl {

class PartialFile {
public:
    // Opens TARGET.part for writing; throws a usage Failure when it cannot.
    explicit PartialFile(const std::string& target);
    // Removes the partial file unless Commit succeeded.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    FILE* Stream() const { return file_; }
    // Closes the partial file and renames it to the target; throws a usage Failure when it cannot.
    void Commit();

private:
    void Drop();

    std::string target_, partial_;
    FILE* file_ = nullptr;
};

}  // namespace lirnctl
