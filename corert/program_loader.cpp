// Loading a program: the image read and validated, its window definition, its support
// libraries and DLL commands, the image copied below 2 GiB and linked. Whatever is
// wrong is refused here, before any of the program's code runs.
#include "corert/program.h"

#include "corert/image_calls.h"
#include "corert/library_calls.h"

#include <stdexcept>

namespace corert {

namespace {

Program* g_program = nullptr;

}  // namespace

Program* Program::current() { return g_program; }

Program::Program(std::span<const uint8_t> image_bytes, ProgramOptions options) : options_(std::move(options))
{
    if (g_program)
        throw std::logic_error("a program is already running in this process");
    image_ = std::make_unique<qx::MappedImage>(image_bytes);
    const qx::Image& image = image_->image();
    const qx::Section& form = image.section("form");
    form_ = qx::read_form(form.data);
    check_bindings();

    libraries_ = std::make_unique<SupportLibraries>(image.manifest, options_.runtime_directory, support_services());
    dlls_ = std::make_unique<DllTable>(image, options_.runtime_directory);
    slots_ = std::make_unique<qx::ServiceSlots>(service_table());
    image_->link_and_seal(image_->targets(slots_->table_base(),
                                          [this](size_t group, uint32_t value) { return counterpart(group, value); }));

    window_ =
        std::make_unique<WindowSession>(form_, call_image_routine, options_.make_gtk_window, nullptr, browser_pane());
    g_program = this;
}

Program::~Program()
{
    window_.reset();
    if (g_program == this)
        g_program = nullptr;
}

// The browser library hands the GTK window its controls through its extension.
const BrowserPaneExtension* Program::browser_pane() const
{
    for (uint32_t library = 1; library < image_->image().manifest.size(); ++library) {
        if (libraries_->name(library) == "WebPane")
            return static_cast<const BrowserPaneExtension*>(libraries_->extension(library));
    }
    return nullptr;
}

// Every handler must lie inside the code: a binding is turned into a call.
void Program::check_bindings() const
{
    for (const qx::Unit& unit : form_.units) {
        for (const qx::EventBinding& binding : unit.events) {
            if (binding.code_offset >= image_->code_size())
                throw std::runtime_error("window unit " + qx::hex32(unit.id) + " binds event " +
                                         std::to_string(binding.event) + " to " + qx::hex32(binding.code_offset) +
                                         ", outside the code");
        }
    }
}

// The run-time counterparts of the marked operands are the values themselves; a value
// the program does not define is refused before any code runs.
uint32_t Program::counterpart(size_t group, uint32_t value) const
{
    const qx::Image& image = image_->image();
    bool known = false;
    switch (group) {
    case qx::kGroupUnitId:
        known = value == form_.window_id || (form_.find_unit(value) && value != qx::kWindowUnitListId);
        break;
    case qx::kGroupDllCommand: known = value < image.dll_commands.size(); break;
    case qx::kGroupLibrary: known = value < image.manifest.size(); break;
    case qx::kGroupDataType: known = unit_kind(value) != UnitKind::Other; break;
    }
    if (!known)
        throw std::runtime_error("the code names " + qx::hex32(value) + " in marker group " + std::to_string(group) +
                                 ", which this program does not define");
    return value;
}

}  // namespace corert
