// The support libraries a program's manifest names, loaded from the runtime's directory.
#pragma once

#include "image/image_layout.h"
#include "support/support_library.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corert {

class SupportLibraries {
public:
    // Loads "<name>.sle" from `directory` for every manifest entry but the first (the
    // kernel runtime itself). Throws std::runtime_error naming the library and what is
    // wrong with it: missing file, no entry function, wrong interface version or name.
    SupportLibraries(const std::vector<qx::LibraryEntry>& manifest, const std::string& directory,
                     const nimbra::support::RuntimeServices& services);
    ~SupportLibraries();
    SupportLibraries(const SupportLibraries&) = delete;
    SupportLibraries& operator=(const SupportLibraries&) = delete;

    // Null when the library has no such command (or the index is not a library).
    nimbra::support::CommandFunction command(uint32_t library, uint32_t number) const;
    // The library's extension (the browser library's control factory), or null.
    const void* extension(uint32_t library) const;
    std::string name(uint32_t library) const;

private:
    struct Library {
        std::string name;
        void* handle = nullptr;
        const nimbra::support::LibraryExports* exports = nullptr;
        std::map<uint32_t, nimbra::support::CommandFunction> commands;
    };
    std::vector<Library> libraries_;  // by manifest index; index 0 stays empty
};

}  // namespace corert
