// The relocation table and the @reloc1 groups as the runtime reads and applies them:
// decode_relocation on arbitrary entries, read_mark_groups on arbitrary bytes, and link
// with both against a code block of arbitrary size. Decoded entries encode back to
// themselves, accepted groups write and read back equal, and linking with zero bases and
// the identity counterpart changes no byte (so link writes only where it should).
#include "image/code_linkage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Links a copy of `code`; false when link refused the tables.
bool link_copy(qx::Bytes& code, const std::vector<uint32_t>& relocations, const qx::MarkGroups& groups,
               const qx::LinkTargets& targets)
{
    try {
        qx::link(code, relocations, groups, targets);
        return true;
    } catch (const qx::FormatError&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    qx::Bytes code = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 256));
    std::vector<uint32_t> relocations(input.ConsumeIntegralInRange<size_t>(0, 16));
    bool all_decoded = true;
    for (uint32_t& entry : relocations) {
        entry = input.ConsumeIntegral<uint32_t>();
        try {
            if (qx::encode_relocation(qx::decode_relocation(entry)) != entry)
                fail("relocation entry encodes back differently");
        } catch (const qx::FormatError&) {
            all_decoded = false;
        }
    }
    qx::Bytes rest = input.ConsumeRemainingBytes<uint8_t>();
    qx::MarkGroups groups;
    try {
        groups = qx::read_mark_groups(rest, 0x2000);
    } catch (const qx::FormatError&) {
        groups = {};
    }
    if (qx::read_mark_groups(qx::write_mark_groups(groups).bytes) != groups)
        fail("mark groups read back differently after writing");

    qx::LinkTargets unmoved;
    unmoved.counterpart = [](size_t, uint32_t value) { return value; };
    qx::Bytes linked = code;
    if (link_copy(linked, relocations, groups, unmoved) && linked != code)
        fail("linking with zero bases changed the code");
    if (!all_decoded && link_copy(linked, relocations, groups, unmoved))
        fail("link accepted a relocation entry of an unknown kind");

    qx::LinkTargets moved{.service_table = 0x10000,
                          .const_data = 0x20000,
                          .var_data = 0x7fff0000,
                          .code_data = 0x400000,
                          .counterpart = [](size_t group, uint32_t value) { return value ^ uint32_t(group + 1); }};
    linked = code;
    link_copy(linked, relocations, groups, moved);
    return 0;
}
