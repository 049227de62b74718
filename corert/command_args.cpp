#include "corert/command_args.h"

#include <bit>
#include <cstring>

#include "corert/memory.h"

namespace corert {
namespace {

// Array blocks come from image code too, so their header is read as untrusted:
// a byte set has one dimension, and more than a few means a damaged block.
constexpr uint32_t kMaxDimensions = 8;

uint32_t read_u32(const unsigned char* p) {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void write_u32(unsigned char* p, uint32_t value) { std::memcpy(p, &value, sizeof value); }

bool is_fixed_tag(uint32_t tag) {
    switch (tag) {
    case qx::kTagOmitted:
    case qx::kTagInteger:
    case qx::kTagText:
    case qx::kTagByteSet:
    case qx::kTagLogical:
    case qx::kTagByte:
        return true;
    default:
        return false;
    }
}

}  // namespace

const qx::ArgRecord* CommandArgs::record(uint32_t index) const {
    if (!block_ || index >= block_->count)
        return nullptr;
    return block_->records + index;
}

uint32_t CommandArgs::tag(uint32_t index) const {
    const qx::ArgRecord* r = record(index);
    return r ? r->type : qx::kTagOmitted;
}

const void* CommandArgs::pointer(uint32_t index) const {
    const qx::ArgRecord* r = record(index);
    return r ? reinterpret_cast<const void*>((uint64_t(r->high) << 32) | r->low) : nullptr;
}

std::string_view CommandArgs::text(uint32_t index) const {
    if (tag(index) != qx::kTagText)
        return {};
    auto p = static_cast<const char*>(pointer(index));
    return p ? std::string_view(p) : std::string_view();
}

int32_t CommandArgs::integer(uint32_t index, int32_t fallback) const {
    return optional_integer(index).value_or(fallback);
}

std::optional<int32_t> CommandArgs::optional_integer(uint32_t index) const {
    switch (tag(index)) {
    case qx::kTagInteger:
        return static_cast<int32_t>(record(index)->low);
    case qx::kTagByte:
        return static_cast<int32_t>(record(index)->low & 0xFF);
    case qx::kTagLogical:
        return record(index)->low != 0 ? 1 : 0;
    default:
        return std::nullopt;
    }
}

bool CommandArgs::logical(uint32_t index, bool fallback) const {
    switch (tag(index)) {
    case qx::kTagLogical:
    case qx::kTagInteger:
    case qx::kTagByte:
        return record(index)->low != 0;
    default:
        return fallback;
    }
}

std::string_view CommandArgs::byte_set(uint32_t index) const {
    if (tag(index) != qx::kTagByteSet)
        return {};
    return byte_set_bytes(pointer(index));
}

std::optional<ControlRef> CommandArgs::control(uint32_t index) const {
    uint32_t t = tag(index);
    if (is_fixed_tag(t))
        return std::nullopt;
    const qx::ArgRecord* r = record(index);
    return ControlRef{r->low, r->high, t};
}

std::string_view byte_set_bytes(const void* block) {
    if (!block)
        return {};
    auto p = static_cast<const unsigned char*>(block);
    uint32_t dimensions = read_u32(p);
    if (dimensions == 0 || dimensions > kMaxDimensions)
        return {};
    uint64_t elements = 1;
    for (uint32_t i = 0; i < dimensions; ++i)
        elements *= read_u32(p + 4 + 4 * i);
    if (elements > UINT32_MAX)
        return {};
    return {reinterpret_cast<const char*>(p + 4 + 4 * dimensions), static_cast<size_t>(elements)};
}

uint64_t number_result(double value) { return std::bit_cast<uint64_t>(value); }

uint64_t text_result(std::string_view bytes) {
    auto block = static_cast<char*>(memory_allocate(bytes.size() + 1));
    if (!bytes.empty())
        std::memcpy(block, bytes.data(), bytes.size());
    block[bytes.size()] = '\0';
    return reinterpret_cast<uint64_t>(block);
}

uint64_t byte_set_result(std::string_view bytes) {
    if (bytes.empty())
        return 0;
    auto block = static_cast<unsigned char*>(memory_allocate(8 + bytes.size()));
    write_u32(block, 1);
    write_u32(block + 4, static_cast<uint32_t>(bytes.size()));
    std::memcpy(block + 8, bytes.data(), bytes.size());
    return reinterpret_cast<uint64_t>(block);
}

uint64_t text_array_result(const std::vector<std::string_view>& elements) {
    auto block = static_cast<unsigned char*>(memory_allocate(8 + 8 * elements.size()));
    write_u32(block, 1);
    write_u32(block + 4, static_cast<uint32_t>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) {
        uint64_t element = text_result(elements[i]);
        std::memcpy(block + 8 + 8 * i, &element, sizeof element);
    }
    return reinterpret_cast<uint64_t>(block);
}

}  // namespace corert
