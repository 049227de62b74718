#include "image/mapped_image.h"

#include "platform/memory_pages.h"

#include <cstring>
#include <stdexcept>

namespace qx {

namespace {

constexpr size_t kPage = 4096;

size_t round_to_pages(size_t n) { return (n + kPage - 1) / kPage * kPage; }

uint8_t* map_low(size_t bytes, const char* what)
{
    void* p = nimbra::platform::map_low_pages(bytes);
    if (!p)
        throw std::runtime_error(std::string("cannot map the ") + what + " below 2 GiB");
    return static_cast<uint8_t*>(p);
}

}  // namespace

MappedImage::MappedImage(std::span<const uint8_t> file)
{
    ImageLayoutInfo info;
    image_ = read_image(file, &info);
    for (const auto& p : info.sections) {
        if (p.name == "code")
            code_offset_ = p.data_offset;
        if (p.name == "const")
            const_offset_ = p.data_offset;
    }
    const Section& code = image_.section("code");
    code_size_ = code.stored_size;
    const_size_ = image_.section("const").stored_size;
    var_size_ = image_.section("var").memory_size;
    if (code_offset_ == kNoOffset || const_offset_ == kNoOffset)
        throw std::runtime_error("image stores no code or no const data");
    const Section& marks = image_.section("@reloc1");
    size_t marks_at = 0;
    for (const auto& p : info.sections) {
        if (p.name == "@reloc1")
            marks_at = p.data_offset;
    }
    groups_ = read_mark_groups(marks.data, marks_at);

    mapped_ = round_to_pages(file.size());
    base_ = map_low(mapped_, "image");
    std::memcpy(base_, file.data(), file.size());
    var_mapped_ = round_to_pages(std::max<size_t>(var_size_, 1));
    var_ = map_low(var_mapped_, "var section");
}

MappedImage::~MappedImage()
{
    nimbra::platform::unmap_pages(base_, mapped_);
    nimbra::platform::unmap_pages(var_, var_mapped_);
}

LinkTargets MappedImage::targets(uint32_t service_table, std::function<uint32_t(size_t, uint32_t)> counterpart) const
{
    LinkTargets t;
    t.service_table = service_table;
    t.const_data = const_data();
    t.var_data = var_data();
    t.code_data = code_data();
    t.counterpart = std::move(counterpart);
    return t;
}

void MappedImage::link_and_seal(const LinkTargets& targets)
{
    link(code(), relocations(), groups_, targets);
    seal();
}

void MappedImage::seal()
{
    if (!nimbra::platform::make_pages_executable(base_, mapped_))
        throw std::runtime_error("cannot make the image executable");
}

}  // namespace qx
