#include "tests/unit/reliability/reliability_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace reliability {

pid_t pid_of(const std::string& executable)
{
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code error;
        fs::path exe = fs::read_symlink(entry.path() / "exe", error);
        if (!error && exe == fs::path(executable))
            return pid_t(std::atol(name.c_str()));
    }
    return -1;
}

long status_kb(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

}  // namespace reliability
