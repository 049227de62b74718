#include "corert/dll_table.h"

#include "platform/dll_exports.h"
#include "platform/shared_library.h"
#include "platform/system_dlls.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace corert {

namespace {

std::string standin_file_name(std::string library)
{
    std::transform(library.begin(), library.end(), library.begin(), [](unsigned char c) { return std::tolower(c); });
    if (library.size() > 4 && library.ends_with(".dll"))
        library.resize(library.size() - 4);
    return library + ".so";
}

}  // namespace

void* DllTable::load_library(const std::string& library, const std::string& directory)
{
    auto known = libraries_.find(library);
    if (known != libraries_.end())
        return known->second;
    if (library.find('/') != std::string::npos || library.find('\\') != std::string::npos)
        throw std::runtime_error("DLL name \"" + library + "\" is not a plain library name");
    std::string path = directory + "/" + standin_file_name(library);
    std::string error;
    void* handle = nimbra::platform::open_shared_library(path, &error);
    if (!handle)
        throw std::runtime_error("DLL " + library + ": " + path + " cannot be loaded: " + error);
    libraries_[library] = handle;
    return handle;
}

DllTable::DllTable(const qx::Image& image, const std::string& directory)
{
    for (const qx::DllCommand& command : image.dll_commands) {
        std::string library = image.const_text(command.library_name);
        std::string function = image.const_text(command.function_name);
        const nimbra::platform::DllExports* exports = nimbra::platform::system_dll_exports(library);
        if (!exports) {
            void* handle = load_library(library, directory);
            auto entry = reinterpret_cast<nimbra::platform::DllExportsEntry>(
                nimbra::platform::shared_library_symbol(handle, nimbra::platform::kDllExportsEntryName));
            exports = entry ? entry() : nullptr;
        }
        if (!exports)
            throw std::runtime_error("DLL " + library + " has no export table");
        const nimbra::platform::DllExport* found = nullptr;
        for (uint32_t i = 0; i < exports->count; ++i) {
            if (function == exports->entries[i].name)
                found = &exports->entries[i];
        }
        if (!found)
            throw std::runtime_error("DLL " + library + " has no function " + function);
        if (found->argument_count > qx::kMaxDllArguments)
            throw std::runtime_error("DLL function " + function + " declares more arguments than a call can pass");
        functions_.push_back({found->address, found->argument_count});
        names_.push_back(function);
    }
}

const qx::ResolvedDllFunction* DllTable::function(uint32_t index) const
{
    return index < functions_.size() ? &functions_[index] : nullptr;
}

}  // namespace corert
