// An image in memory as the runtime runs it: the file's bytes copied whole below 2 GiB
// (so code-to-const distances stay those of the file and 32-bit operands hold
// addresses), the var section zero-filled apart from it, the code linked in place.
#pragma once

#include "image/code_linkage.h"
#include "image/image_layout.h"

#include <cstdint>
#include <span>

namespace qx {

class MappedImage {
public:
    // Reads and validates the image, then copies it. Throws FormatError or std::runtime_error.
    explicit MappedImage(std::span<const uint8_t> file);
    ~MappedImage();
    MappedImage(const MappedImage&) = delete;
    MappedImage& operator=(const MappedImage&) = delete;

    const Image& image() const { return image_; }

    uint64_t code_data() const { return reinterpret_cast<uintptr_t>(base_) + code_offset_; }
    uint64_t const_data() const { return reinterpret_cast<uintptr_t>(base_) + const_offset_; }
    uint64_t var_data() const { return reinterpret_cast<uintptr_t>(var_); }
    uint32_t code_size() const { return code_size_; }
    uint32_t const_size() const { return const_size_; }
    uint32_t var_size() const { return var_size_; }

    std::span<uint8_t> code() { return {base_ + code_offset_, code_size_}; }
    const std::vector<uint32_t>& relocations() const { return image_.section("code").relocations; }
    const MarkGroups& groups() const { return groups_; }

    // The bases of this mapping; the caller adds the service table and counterparts.
    LinkTargets targets(uint32_t service_table, std::function<uint32_t(size_t, uint32_t)> counterpart) const;

    // Links the code in place and makes the block executable (and read-only).
    void link_and_seal(const LinkTargets& targets);
    // For callers that link by hand (tests of the linkage itself).
    void seal();

    template <typename F>
    F routine(uint32_t code_offset) const
    {
        return reinterpret_cast<F>(code_data() + code_offset);
    }
    bool in_const(const void* p) const
    {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= const_data() && a < const_data() + const_size_;
    }

private:
    Image image_;
    MarkGroups groups_;
    uint8_t* base_ = nullptr;
    size_t mapped_ = 0;
    uint8_t* var_ = nullptr;
    size_t var_mapped_ = 0;
    uint32_t code_offset_ = 0, code_size_ = 0;
    uint32_t const_offset_ = 0, const_size_ = 0;
    uint32_t var_size_ = 0;
};

}  // namespace qx
