// The image's DLL commands, resolved against the system's own DLLs where this platform
// has them (platform/system_dlls.h: WinINet on Windows), else against the runtime's
// stand-ins for them.
#pragma once

#include "image/dll_call.h"
#include "image/image_layout.h"

#include <map>
#include <string>
#include <vector>

namespace corert {

class DllTable {
public:
    // For each DLL command, takes the system's table for the library, or else loads the
    // stand-in "<library>.so" from `directory` (the library name lower-cased, without
    // ".dll"), and finds the function in that export table. Throws std::runtime_error naming the library or the function.
    DllTable(const qx::Image& image, const std::string& directory);

    size_t size() const { return functions_.size(); }
    // Null when the index is outside the table.
    const qx::ResolvedDllFunction* function(uint32_t index) const;
    const std::string& function_name(uint32_t index) const { return names_.at(index); }

private:
    void* load_library(const std::string& library, const std::string& directory);

    std::map<std::string, void*> libraries_;
    std::vector<qx::ResolvedDllFunction> functions_;
    std::vector<std::string> names_;
};

}  // namespace corert
