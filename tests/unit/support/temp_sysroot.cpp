#include "support/temp_sysroot.h"

#include "platform/sysroot.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>

namespace fs = std::filesystem;

TempSysroot::TempSysroot()
{
    std::string pattern = (fs::temp_directory_path() / "lirn-unit.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    SysrootSet(dir_.c_str());
}

TempSysroot::~TempSysroot()
{
    SysrootSet("");
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void TempSysroot::MakeDirs(const std::string& systemPath) const
{
    fs::create_directories(Path(systemPath));
}

void TempSysroot::WriteFile(const std::string& systemPath, const std::string& content) const
{
    fs::create_directories(fs::path(Path(systemPath)).parent_path());
    std::ofstream out(Path(systemPath), std::ios::binary);
    out << content;
}

std::string TempSysroot::ReadFile(const std::string& systemPath) const
{
    std::ifstream in(Path(systemPath), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TempSysroot::Exists(const std::string& systemPath) const
{
    return fs::exists(Path(systemPath));
}
