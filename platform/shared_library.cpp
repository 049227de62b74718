#include "platform/shared_library.h"

#include <dlfcn.h>

namespace nimbra::platform {

void* open_shared_library(const std::string& path, std::string* error)
{
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && error) {
        const char* why = dlerror();
        *error = why ? why : path + ": cannot be loaded";
    }
    return library;
}

void* shared_library_symbol(void* library, const char* name) { return dlsym(library, name); }

void close_shared_library(void* library) { dlclose(library); }

void* executable_symbol(const char* name) { return dlsym(RTLD_DEFAULT, name); }

}  // namespace nimbra::platform
