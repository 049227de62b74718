#include "tests/support/hosted_image.h"

#include "image/service_slots.h"
#include "tests/support/hosted_corert.h"
#include "viewer/globals.h"
#include "viewer/program_description.h"

#include <iterator>
#include <stdexcept>

namespace nimbra::testing {

namespace {

// The trampolines sit at fixed addresses, so the whole test program shares one table.
const qx::ServiceSlots& hosted_service_slots()
{
    static const qx::ServiceSlots slots(HostedCorert::service_functions());
    return slots;
}

qx::LinkedImage link(const std::vector<std::string>& object_paths, const std::string& entry_routine)
{
    std::vector<qx::ObjectFile> objects;
    for (const auto& path : object_paths)
        objects.push_back(qx::read_object_file(path));
    qx::ImageRecipe recipe;
    recipe.manifest = program_manifest();
    for (const auto& function : dll_function_names())
        recipe.dll_functions.push_back({kDllLibraryName, function});
    recipe.globals.assign(std::begin(kGlobalNames), std::end(kGlobalNames));
    recipe.entry_routine = entry_routine;
    // No event bindings: tests call routines themselves.
    recipe.form = [](const qx::RoutineLookup&) { return qx::write_form(main_window_form(configured_hosts())); };
    return qx::link_image(objects, recipe);
}

}  // namespace

HostedImage::HostedImage(const std::vector<std::string>& object_paths, const std::string& entry_routine,
                         Counterpart counterpart)
    : linked_(link(object_paths, entry_routine)), mapped_(std::make_unique<qx::MappedImage>(linked_.bytes))
{
    if (!counterpart)
        counterpart = [](size_t, uint32_t value) { return value; };
    mapped_->link_and_seal(mapped_->targets(hosted_service_slots().table_base(), std::move(counterpart)));
}

HostedImage::~HostedImage() = default;

uint32_t HostedImage::code_offset(const std::string& routine) const
{
    auto it = linked_.routines.find(routine);
    if (it == linked_.routines.end())
        throw std::runtime_error("the test image has no routine '" + routine + "'");
    return it->second;
}

bool HostedImage::in_code(const void* p) const
{
    auto at = reinterpret_cast<uintptr_t>(p);
    return at >= mapped_->code_data() && at < mapped_->code_data() + mapped_->code_size();
}

const char* HostedImage::const_text(uint32_t offset) const
{
    return reinterpret_cast<const char*>(mapped_->const_data() + offset);
}

}  // namespace nimbra::testing
