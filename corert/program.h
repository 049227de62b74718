// One running program: its image mapped and linked, its support libraries and DLL
// functions, its window, and the services its code calls.
//
// Loading, in order: read and validate the image; read the window definition; load the
// support libraries of the manifest and resolve the DLL commands; copy the image below
// 2 GiB, zero-fill var, link both relocation tables; then run the entry routine, and at
// the end the routines registered for program end.
//
//   program_loader.cpp   loading and its refusals
//   image_calls.cpp      running: calls into the image, and the service table out of it
//   library_calls.cpp    support-library and DLL commands
//   program_end.cpp      the routines registered for program end
#pragma once

#include "corert/dll_table.h"
#include "corert/support_libraries.h"
#include "corert/window/window_services.h"
#include "image/mapped_image.h"
#include "image/service_slots.h"
#include "image/window_definition.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace corert {

struct ProgramOptions {
    std::string runtime_directory;             // where the support libraries and DLL stand-ins lie
    GtkWindowMaker make_gtk_window = nullptr;  // null: the window is headless
};

class Program {
public:
    // Throws std::runtime_error or qx::FormatError naming what is wrong.
    Program(std::span<const uint8_t> image_bytes, ProgramOptions options);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Calls the entry routine; when it returns, the routines registered for program end.
    void run();

    WindowBackend& window() { return window_->backend(); }
    const qx::FormSection& form() const { return form_; }
    const qx::MappedImage& image() const { return *image_; }

    // ---- what the services need ----
    uint32_t call_dll(uint32_t command, uint32_t count, const uint64_t* args);
    uint64_t call_library(uint32_t library, uint32_t command, const qx::ArgBlock* args);
    void register_routine(uint32_t function, uint64_t a, uint64_t b);

    // The program the services act on (one per process).
    static Program* current();

private:
    uint32_t counterpart(size_t group, uint32_t value) const;
    void check_bindings() const;
    const BrowserPaneExtension* browser_pane() const;
    void run_program_end();

    ProgramOptions options_;
    std::unique_ptr<qx::MappedImage> image_;
    qx::FormSection form_;
    std::unique_ptr<SupportLibraries> libraries_;
    std::unique_ptr<DllTable> dlls_;
    std::unique_ptr<qx::ServiceSlots> slots_;
    std::unique_ptr<WindowSession> window_;
    std::vector<uint32_t> at_exit_;  // code offsets, oldest first
};

}  // namespace corert
