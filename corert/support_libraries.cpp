#include "corert/support_libraries.h"

#include "platform/shared_library.h"

#include <stdexcept>

namespace corert {

SupportLibraries::SupportLibraries(const std::vector<qx::LibraryEntry>& manifest, const std::string& directory,
                                   const nimbra::support::RuntimeServices& services)
{
    libraries_.resize(manifest.size());
    for (size_t i = 1; i < manifest.size(); ++i) {
        Library& lib = libraries_[i];
        lib.name = manifest[i].name;
        std::string path = directory + "/" + lib.name + ".sle";
        std::string error;
        lib.handle = nimbra::platform::open_shared_library(path, &error);
        if (!lib.handle)
            throw std::runtime_error("support library " + path + " cannot be loaded: " + error);
        auto entry = reinterpret_cast<nimbra::support::EntryFunction>(
            nimbra::platform::shared_library_symbol(lib.handle, nimbra::support::kEntryName));
        if (!entry)
            throw std::runtime_error("support library " + path + " is invalid: it has no " +
                                     nimbra::support::kEntryName);
        lib.exports = entry(&services);
        if (!lib.exports || lib.exports->abi_version != nimbra::support::kSupportAbiVersion)
            throw std::runtime_error("support library " + path +
                                     " is invalid: it was built for another runtime interface");
        if (lib.exports->name == nullptr || lib.name != lib.exports->name)
            throw std::runtime_error("support library " + path + " is invalid: it calls itself \"" +
                                     std::string(lib.exports->name ? lib.exports->name : "") + "\"");
        for (uint32_t c = 0; c < lib.exports->command_count; ++c)
            lib.commands[lib.exports->commands[c].number] = lib.exports->commands[c].run;
    }
}

// The libraries stay loaded: their threads (a browser's, a download's) may outlive the
// program's last call, and unloading code under a running thread would crash it.
SupportLibraries::~SupportLibraries() = default;

nimbra::support::CommandFunction SupportLibraries::command(uint32_t library, uint32_t number) const
{
    if (library == 0 || library >= libraries_.size())
        return nullptr;
    auto it = libraries_[library].commands.find(number);
    return it == libraries_[library].commands.end() ? nullptr : it->second;
}

const void* SupportLibraries::extension(uint32_t library) const
{
    if (library == 0 || library >= libraries_.size() || !libraries_[library].exports)
        return nullptr;
    return libraries_[library].exports->extension;
}

std::string SupportLibraries::name(uint32_t library) const
{
    if (library < libraries_.size())
        return libraries_[library].name;
    std::string number = "#";
    number += std::to_string(library);
    return number;
}

}  // namespace corert
