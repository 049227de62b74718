#include "corert/command_args.h"

#include <bit>
#include <cstring>

#include "corert/memory.h"
#include "runtime/arg_records.h"
#include "runtime/array_block.h"

namespace corert {

// Records are decoded by runtime/arg_records.h and blocks laid out by
// runtime/array_block.h, as the support libraries and image code do.

uint32_t CommandArgs::tag(uint32_t index) const
{
    const qx::ArgRecord* r = qx::arg_record(block_, index);
    return r ? r->type : qx::kTagOmitted;
}

std::string_view CommandArgs::text(uint32_t index) const
{
    const char* p = qx::arg_text(qx::arg_record(block_, index));
    return p ? std::string_view(p) : std::string_view();
}

int32_t CommandArgs::integer(uint32_t index, int32_t fallback) const
{
    return optional_integer(index).value_or(fallback);
}

std::optional<int32_t> CommandArgs::optional_integer(uint32_t index) const
{
    int32_t value = 0;
    if (!qx::arg_integer(qx::arg_record(block_, index), &value))
        return std::nullopt;
    return value;
}

bool CommandArgs::logical(uint32_t index, bool fallback) const
{
    std::optional<int32_t> value = optional_integer(index);
    return value ? *value != 0 : fallback;
}

std::string_view CommandArgs::byte_set(uint32_t index) const
{
    return byte_set_bytes(qx::arg_pointer(qx::arg_record(block_, index), qx::kTagByteSet));
}

std::optional<ControlRef> CommandArgs::control(uint32_t index) const
{
    uint32_t t = tag(index);
    if (qx::is_fixed_tag(t))
        return std::nullopt;
    const qx::ArgRecord* r = qx::arg_record(block_, index);
    return ControlRef{r->low, r->high, t};
}

std::string_view byte_set_bytes(const void* block)
{
    uint32_t count = qx::array_element_count(block);
    if (count == 0)
        return {};
    return {reinterpret_cast<const char*>(qx::array_elements(block)), count};
}

uint64_t number_result(double value) { return std::bit_cast<uint64_t>(value); }

uint64_t text_result(std::string_view bytes)
{
    auto block = static_cast<char*>(memory_allocate(bytes.size() + 1));
    if (!bytes.empty())
        std::memcpy(block, bytes.data(), bytes.size());
    block[bytes.size()] = '\0';
    return reinterpret_cast<uint64_t>(block);
}

uint64_t byte_set_result(std::string_view bytes)
{
    if (bytes.empty())
        return 0;
    auto count = static_cast<uint32_t>(bytes.size());
    void* block = memory_allocate(qx::array_block_size(count, 1));
    qx::write_array_header(block, count);
    std::memcpy(qx::array_elements(block), bytes.data(), bytes.size());
    return reinterpret_cast<uint64_t>(block);
}

uint64_t text_array_result(const std::vector<std::string_view>& elements)
{
    auto count = static_cast<uint32_t>(elements.size());
    void* block = memory_allocate(qx::array_block_size(count, sizeof(uint64_t)));
    qx::write_array_header(block, count);
    for (size_t i = 0; i < elements.size(); ++i) {
        uint64_t element = text_result(elements[i]);
        std::memcpy(qx::array_elements(block) + 8 * i, &element, sizeof element);
    }
    return reinterpret_cast<uint64_t>(block);
}

}  // namespace corert
