// Routines run as the program image holds them: their freestanding objects linked by
// the image linker (with the program's manifest, DLL table, globals and window), mapped
// below 2 GiB as the runtime maps an image, linked against the services of
// HostedCorert (tests/support/hosted_corert.h), and called natively at their code
// offsets. Link target: hosted_image.
//
//   // objects: $<TARGET_OBJECTS:web_routines_image>, ..., $<TARGET_OBJECTS:qxruntime_image>
//   static HostedImage image(kObjects, "UrlPort");
//   HostedCorert runtime;                     // must be alive while image code runs
//   auto url_port = image.routine<int32_t(const char*)>("UrlPort");
//   EXPECT_EQ(url_port("h:81"), 81);
//
// Routines must be extern "C" to be found by their plain names, and the signature given
// must be the routine's own.
#pragma once

#include "image/image_linker.h"
#include "image/mapped_image.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nimbra::testing {

class HostedImage {
public:
    using Counterpart = std::function<uint32_t(size_t group, uint32_t value)>;

    // `entry_routine` is what the image names as its entry; nothing here runs it, so any
    // routine of the objects will do. `counterpart` gives the run-time values of marked
    // operands (the value itself when null). Throws qx::LinkError or std::runtime_error.
    HostedImage(const std::vector<std::string>& object_paths, const std::string& entry_routine,
                Counterpart counterpart = nullptr);
    ~HostedImage();
    HostedImage(const HostedImage&) = delete;
    HostedImage& operator=(const HostedImage&) = delete;

    // Throws std::runtime_error when the image has no such routine.
    uint32_t code_offset(const std::string& routine) const;

    template <typename F>
    F* routine(const std::string& name) const
    {
        return mapped_->routine<F*>(code_offset(name));
    }

    bool in_code(const void* p) const;
    // A point of the const data, e.g. qx::kConstEmptyText.
    const char* const_text(uint32_t offset) const;

    const qx::LinkedImage& linked() const { return linked_; }
    const qx::MappedImage& mapped() const { return *mapped_; }

private:
    qx::LinkedImage linked_;
    std::unique_ptr<qx::MappedImage> mapped_;
};

}  // namespace nimbra::testing
