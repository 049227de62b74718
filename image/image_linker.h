// The image linker: turns freestanding x86-64 ELF relocatable objects into a program
// image whose code section holds their machine code.
//
//   .text*            -> code data, in object order; the 13 service stubs (FF 24 25 imm32,
//                        7 bytes each) close it, so they are its last 91 bytes
//   read-only data    -> const data, after the fixed points ("1.0", the empty array
//                        literal, the empty text); then the DLL names
//   the named globals -> var, one pointer each, in the order given
//   .qx_marks         -> the four @reloc1 groups (entries {u32 group, u32 0, u64 address})
//
// Absolute 32-bit references become relocation table entries of the kind of the section
// they reach; PC-relative references within code, and from code to const, are resolved
// here, using the final image offsets of both section data (the runtime keeps the image
// whole, so those distances hold in memory). Anything else is an error naming the
// symbol and the object: an undefined symbol, a relocation type not handled, writable
// data other than the globals, a PC-relative reference to a global, a relocation inside
// data (a pointer table).
//
// Symbols the objects may leave undefined: qx_stub_0 .. qx_stub_12 (the stubs) and
// qx_const_version_text, qx_const_empty_array, qx_const_empty_text (the fixed points).
#pragma once

#include "image/image_layout.h"
#include "runtime/service_abi.h"

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qx {

inline constexpr uint32_t kStubSize = 7;
inline constexpr uint32_t kStubBlockSize = kStubSize * qx::kServiceSlotCount;

struct ObjectFile {
    std::string name;  // shown in error messages
    Bytes bytes;
};

// Reads a file; throws std::runtime_error naming it.
ObjectFile read_object_file(const std::string& path);

class LinkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using RoutineLookup = std::function<std::optional<uint32_t>(const std::string&)>;

struct ImageRecipe {
    std::vector<LibraryEntry> manifest;
    struct DllFunction {
        std::string library;
        std::string function;
    };
    std::vector<DllFunction> dll_functions;  // in DLL command order
    std::vector<std::string> globals;        // the var section, in order
    std::string entry_routine;
    // The form section's data; given the code offsets of the routines by name.
    std::function<Bytes(const RoutineLookup&)> form;
    uint32_t help_size = 52;
};

struct LinkedImage {
    Image image;
    Bytes bytes;                               // write_image(image)
    std::map<std::string, uint32_t> routines;  // global functions by code offset
    uint32_t stub_block = 0;                   // code offset of stub 0
};

// Throws LinkError for anything it cannot place.
LinkedImage link_image(const std::vector<ObjectFile>& objects, const ImageRecipe& recipe);

}  // namespace qx
