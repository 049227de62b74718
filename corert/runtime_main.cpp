// The runtime's face to the launcher: the export GetNewSock, which for 1000 hands out the
// start routine, and the start routine, which runs the program image it is given.
#include "corert/program.h"
#include "corert/run_time_error.h"
#include "corert/window/window_backend.h"
#include "platform/program_directory.h"
#include "platform/shared_library.h"

#include <cstdint>
#include <cstdlib>
#include <exception>

namespace corert {

namespace {

constexpr uint32_t kStartRoutineRequest = 1000;

// The launcher passes only the image's address; its size comes from the executable,
// which exports it beside the image.
std::span<const uint8_t> embedded_image(void* image)
{
    auto* size = static_cast<const uint64_t*>(nimbra::platform::executable_symbol("nimbra_program_image_size"));
    if (!size)
        fail_to_start("the executable does not say how large its program image is (no nimbra_program_image_size)");
    return {static_cast<const uint8_t*>(image), static_cast<size_t>(*size)};
}

void start_program(void* image)
{
    try {
        ProgramOptions options;
        // The support libraries lie beside the runtime, wherever the launcher found it.
        options.runtime_directory = nimbra::platform::module_directory(reinterpret_cast<const void*>(&start_program));
        options.make_gtk_window = make_screen_window;
        Program program(embedded_image(image), options);
        program.run();
    } catch (const std::exception& e) {
        fail_to_start(e.what());
    }
}

}  // namespace

}  // namespace corert

extern "C" __attribute__((visibility("default"))) void* GetNewSock(uint32_t request)
{
    if (request != corert::kStartRoutineRequest)
        return nullptr;
    return reinterpret_cast<void*>(&corert::start_program);
}
