// Writes the window icon to a file, to look at it outside the program:
//   write_icon nimbra.ico && convert nimbra.ico -scale 800% nimbra.png
#include "viewer/icon_art.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.ico\n", argv[0]);
        return 2;
    }
    qx::Bytes icon = nimbra::draw_window_icon();
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    bool ok = std::fwrite(icon.data(), 1, icon.size(), f) == icon.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
