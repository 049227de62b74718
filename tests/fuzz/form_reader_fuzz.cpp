// read_form and form_placement on arbitrary section bytes. An accepted form must write
// back without complaint and read back equal; byte for byte too, once the one value with
// two spellings (a cursor stored as 0 bytes reads as the default) has been normalised by
// one round.
#include "image/window_definition.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        qx::form_placement({data, size});
    } catch (const qx::FormatError&) {
    }
    qx::FormSection form;
    try {
        form = qx::read_form({data, size}, 0x1000);
    } catch (const qx::FormatError&) {
        return 0;
    }
    qx::Bytes written = qx::write_form(form);
    qx::FormSection again = qx::read_form(written);
    if (again != form) {
        std::fprintf(stderr, "form reads back differently after writing\n");
        std::abort();
    }
    if (qx::write_form(again) != written) {
        std::fprintf(stderr, "form writes back to other bytes the second time\n");
        std::abort();
    }
    return 0;
}
