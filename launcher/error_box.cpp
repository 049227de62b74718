#include "launcher/error_box.h"

#include "platform/desktop.h"

#include <cstdio>

namespace nimbra::launcher {

void show_error_box(std::string_view detail)
{
    std::fprintf(stderr, "%s: %s\n", kErrorCaption, kErrorText);
    if (!detail.empty())
        std::fprintf(stderr, "nimbra: %.*s\n", static_cast<int>(detail.size()), detail.data());
    std::fflush(stderr);
    nimbra::platform::show_error_dialog(kErrorCaption, kErrorText);
}

}  // namespace nimbra::launcher
