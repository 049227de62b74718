#include "corert/whole_file.h"

#include "platform/file_system.h"

namespace corert {

std::optional<std::string> read_whole_file(const std::string& path)
{
    return nimbra::platform::read_regular_file(path, kMaxWholeFileBytes);
}

}  // namespace corert
