// A fresh temporary directory used as the firmware's sysroot for one test.
#pragma once

#include <string>

class TempSysroot {
public:
    TempSysroot();   // creates the directory and makes it the sysroot
    ~TempSysroot();  // clears the sysroot and removes the directory

    const std::string& Dir() const { return dir_; }
    // Absolute host path of a system path inside the sysroot.
    std::string Path(const std::string& systemPath) const { return dir_ + systemPath; }

    void MakeDirs(const std::string& systemPath) const;
    void WriteFile(const std::string& systemPath, const std::string& content) const;
    std::string ReadFile(const std::string& systemPath) const;
    bool Exists(const std::string& systemPath) const;

private:
    std::string dir_;
};
