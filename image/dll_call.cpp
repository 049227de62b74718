#include "image/dll_call.h"

#include <utility>

namespace qx {

namespace {

template <size_t... I>
uint32_t call_with(void* address, const uint64_t* args, std::index_sequence<I...>)
{
    // Every argument is one integer-class word, so this is how the function's own
    // declaration receives them.
    using Fn = uint64_t (*)(decltype(I, uint64_t{})...);
    return static_cast<uint32_t>(reinterpret_cast<Fn>(address)(args[I]...));
}

template <size_t... N>
uint32_t dispatch(uint32_t count, void* address, const uint64_t* args, std::index_sequence<N...>)
{
    uint32_t result = 0;
    // The fold only picks the call; its value is not wanted (clang warns it is unused).
    (void)((count == N ? (result = call_with(address, args, std::make_index_sequence<N>{}), true) : false) || ...);
    return result;
}

}  // namespace

std::optional<uint32_t> call_resolved_dll(const ResolvedDllFunction& f, uint32_t count, const uint64_t* args)
{
    if (count != f.argument_count || count > kMaxDllArguments || !f.address)
        return std::nullopt;
    return dispatch(count, f.address, args, std::make_index_sequence<kMaxDllArguments + 1>{});
}

}  // namespace qx
