#include "tests/unit/linkage/test_image.h"

#include "linkage_paths.h"
#include "tests/unit/linkage/test_runtime.h"
#include "viewer/globals.h"
#include "viewer/program_description.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace linkage_test {

qx::Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return qx::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const qx::LinkedImage& linked_test_image()
{
    static const qx::LinkedImage linked = [] {
        std::vector<qx::ObjectFile> objects;
        for (const char* path : kTestImageObjects)
            objects.push_back(qx::read_object_file(path));
        qx::ImageRecipe recipe;
        recipe.manifest = nimbra::program_manifest();
        for (const auto& f : nimbra::dll_function_names())
            recipe.dll_functions.push_back({nimbra::kDllLibraryName, f});
        recipe.globals.assign(std::begin(nimbra::kGlobalNames), std::end(nimbra::kGlobalNames));
        recipe.entry_routine = "EntryRoutine";
        recipe.form = [](const qx::RoutineLookup&) {
            return qx::write_form(nimbra::main_window_form(nimbra::configured_hosts()));
        };
        return qx::link_image(objects, recipe);
    }();
    return linked;
}

const qx::ServiceSlots& service_slots()
{
    static const qx::ServiceSlots slots(service_functions());
    return slots;
}

uint32_t LoadedImage::offset_of(const std::string& routine) const
{
    auto it = linked->routines.find(routine);
    if (it == linked->routines.end())
        throw std::runtime_error("the test image has no routine " + routine);
    return it->second;
}

LoadedImage load_test_image(bool link_by_hand)
{
    LoadedImage image;
    image.linked = &linked_test_image();
    image.mapped = std::make_unique<qx::MappedImage>(image.linked->bytes);
    if (!link_by_hand)
        image.mapped->link_and_seal(image.mapped->targets(service_slots().table_base(), counterpart));
    return image;
}

void reset_for(const LoadedImage& image)
{
    const qx::MappedImage* mapped = image.mapped.get();
    reset_recorder([mapped](const void* p) { return mapped->in_const(p); }, image.const_text(qx::kConstEmptyText));
}

}  // namespace linkage_test
