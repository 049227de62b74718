// Builds the program image from the freestanding routine objects:
//   build_program_image -o <image file> [--allow-missing-handlers] <object files...>
//
// The program's description (manifest, DLL table, window) comes from
// program_description; the machine code, constants and globals from the objects.
#include "image/image_linker.h"
#include "image/window_definition.h"
#include "viewer/globals.h"
#include "viewer/program_description.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Every message is one line in the tool's name; only the usage text is not.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    std::fputs("build_program_image: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

qx::ImageRecipe program_recipe(bool allow_missing_handlers)
{
    qx::ImageRecipe recipe;
    recipe.manifest = nimbra::program_manifest();
    for (const auto& function : nimbra::dll_function_names())
        recipe.dll_functions.push_back({nimbra::kDllLibraryName, function});
    recipe.globals.assign(std::begin(nimbra::kGlobalNames), std::end(nimbra::kGlobalNames));
    recipe.entry_routine = "EntryRoutine";
    recipe.form = [allow_missing_handlers](const qx::RoutineLookup& code_offset_of) {
        qx::FormSection form = nimbra::main_window_form(nimbra::configured_hosts());
        std::vector<nimbra::NamedBinding> bindings;
        for (auto& b : nimbra::main_window_bindings()) {
            // While the handlers are still being written the image can be built without
            // them; the build says so rather than binding an event to nothing.
            if (allow_missing_handlers && !code_offset_of(b.routine)) {
                say("note: handler %s is not built yet; its event stays unbound", b.routine.c_str());
                continue;
            }
            bindings.push_back(b);
        }
        nimbra::bind_events(form, bindings, code_offset_of);
        return qx::write_form(form);
    };
    return recipe;
}

int usage()
{
    std::fprintf(stderr, "usage: build_program_image -o <image> [--allow-missing-handlers] <objects...>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string output;
    bool allow_missing_handlers = false;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            output = argv[++i];
        else if (std::strcmp(argv[i], "--allow-missing-handlers") == 0)
            allow_missing_handlers = true;
        else if (argv[i][0] == '-')
            return usage();
        else
            inputs.push_back(argv[i]);
    }
    if (output.empty() || inputs.empty())
        return usage();
    try {
        std::vector<qx::ObjectFile> objects;
        for (const auto& path : inputs)
            objects.push_back(qx::read_object_file(path));
        qx::LinkedImage linked = qx::link_image(objects, program_recipe(allow_missing_handlers));
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(linked.bytes.data()), std::streamsize(linked.bytes.size()));
        if (!out.flush())
            throw std::runtime_error("cannot write " + output);
    } catch (const std::exception& e) {
        say("%s", e.what());
        std::remove(output.c_str());
        return 1;
    }
    return 0;
}
