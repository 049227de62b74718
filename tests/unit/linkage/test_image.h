// The test image: the test routines, the program's routines and the runtime objects,
// linked into an image, mapped below 2 GiB and linked against the test runtime.
#pragma once

#include "image/image_linker.h"
#include "image/mapped_image.h"
#include "image/service_slots.h"

#include <memory>
#include <string>

namespace linkage_test {

// Links the test image's objects (once; the result is shared).
const qx::LinkedImage& linked_test_image();

// One table for the whole test program: its trampolines sit at fixed addresses.
const qx::ServiceSlots& service_slots();

struct LoadedImage {
    std::unique_ptr<qx::MappedImage> mapped;
    const qx::LinkedImage* linked = nullptr;

    uint32_t offset_of(const std::string& routine) const;
    template <typename F>
    F routine(const std::string& name) const
    {
        return mapped->routine<F>(offset_of(name));
    }
    const char* const_text(uint32_t offset) const
    {
        return reinterpret_cast<const char*>(mapped->const_data() + offset);
    }
};

// Maps a fresh copy of the test image. Without `link_by_hand` it is linked with the
// test runtime's table and counterparts and sealed; otherwise the caller links it.
LoadedImage load_test_image(bool link_by_hand = false);

// Resets the recorder for `image` (what is const, where the empty text lies).
void reset_for(const LoadedImage& image);

qx::Bytes read_file(const std::string& path);

}  // namespace linkage_test
