// read_image on arbitrary bytes. Whatever it accepts must write back and read back to the
// same image, and write back to the very bytes it came from: every offset in an image is
// determined by its contents, so a reader that accepted anything else would be losing
// bytes or inventing them.
#include "image/image_layout.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qx::Image image;
    try {
        image = qx::read_image({data, size});
    } catch (const qx::FormatError&) {
        return 0;
    }
    qx::Bytes written = qx::write_image(image);
    if (qx::read_image(written) != image) {
        std::fprintf(stderr, "image reads back differently after writing\n");
        std::abort();
    }
    auto [differs, unused] = std::mismatch(written.begin(), written.end(), data, data + size);
    if (differs != written.end() || written.size() != size) {
        std::fprintf(stderr, "image writes back to other bytes from offset 0x%zx\n", size_t(differs - written.begin()));
        std::abort();
    }
    return 0;
}
