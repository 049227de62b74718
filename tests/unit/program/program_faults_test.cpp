// The real runtime's fault paths, in-process: the program's own image loaded by corert's
// loader from the built program directory, then damaged or driven into an error through
// its own service stubs. What the routine tests check against the hosted recorder is
// checked here against corert itself: the loader's refusals, a run-time error's message,
// dialog and exit status, and the DLL table's argument-count check.
#include "corert/program.h"
#include "corert/run_time_error.h"
#include "image/code_linkage.h"
#include "image/image_linker.h"
#include "image/image_layout.h"
#include "image/window_definition.h"
#include "runtime/service_abi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

qx::Bytes program_image()
{
    std::ifstream in(NIMBRA_PROGRAM_IMAGE_FILE, std::ios::binary);
    return qx::Bytes(std::istreambuf_iterator<char>(in), {});
}

corert::ProgramOptions options()
{
    corert::ProgramOptions o;
    o.runtime_directory = NIMBRA_PROGRAM_DIR;
    return o;
}

// Loading `image` fails; what the loader says.
std::string refusal(const qx::Bytes& image)
{
    try {
        corert::Program program(image, options());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<loaded>";
}

TEST(ProgramFaults, TheLoaderRefusesWhatThisProgramDoesNotDefine)
{
    const qx::Bytes original = program_image();
    ASSERT_GT(original.size(), 0u);
    {
        SCOPED_TRACE("the undamaged image loads");
        corert::Program program(original, options());
    }

    struct Case {
        const char* what;
        void (*damage)(qx::Image&);
        const char* said;
    } cases[] = {
        {"an undefined unit id in the first marker group",
         [](qx::Image& image) {
             qx::Section* marks = image.find("@reloc1");
             uint32_t operand = qx::read_mark_groups(marks->data)[qx::kGroupUnitId].at(0);
             qx::store_u32(image.find("code")->data.data() + operand, 0x16019999);
         },
         "the code names 0x16019999 in marker group 0, which this program does not define"},
        {"a binding outside the code",
         [](qx::Image& image) {
             qx::Section* form_section = image.find("form");
             qx::FormSection form = qx::read_form(form_section->data);
             uint32_t code_size = uint32_t(image.find("code")->data.size());
             form.units.front().events.at(0).code_offset = code_size;
             form_section->data = qx::write_form(form);
             form_section->stored_size = uint32_t(form_section->data.size());
             form_section->memory_size = form_section->stored_size;
         },
         "binds event 0 to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qx::Image image = qx::read_image(original);
        c.damage(image);
        std::string said = refusal(qx::write_image(image));
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
}

// The loaded program's stub for `slot`, called as the service it jumps to.
template <typename F>
F stub(const corert::Program& program, uint32_t slot)
{
    uint32_t stubs = program.image().code_size() - qx::kStubBlockSize;
    return program.image().routine<F>(stubs + slot * qx::kStubSize);
}

// A run-time error raised through the image's own stub: the message on stderr, the
// dialog where one is installed, and the process ends with exit status 3.
TEST(ProgramFaultsDeathTest, RunTimeErrorSaysSoShowsItAndEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            corert::Program program(program_image(), options());
            corert::set_error_dialog(
                [](const std::string& message) { std::fprintf(stderr, "dialog shows: %s\n", message.c_str()); });
            stub<void (*)(uint32_t)>(program, qx::kSlotRunTimeError)(qx::kErrorIndexTooSmall);
            std::fprintf(stderr, "returned from the error\n");
        },
        ::testing::ExitedWithCode(corert::kRunTimeErrorExitStatus),
        "^run-time error 4\ndialog shows: run-time error 4\n$");
}

// A DLL command called with another number of arguments than its function declares is
// error 6, through the real DLL table (wininet.so), and the function is not called; the
// right number reaches the function.
TEST(ProgramFaultsDeathTest, DllCallWithTheWrongArgumentCountIsErrorSix)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using CallDll = uint32_t (*)(uint32_t command, uint32_t count, const uint64_t* args);
    const uint64_t args[5] = {};
    EXPECT_EXIT(
        {
            corert::Program program(program_image(), options());
            CallDll call = stub<CallDll>(program, qx::kSlotCallDll);
            // InternetCloseHandle(null) takes one argument and fails quietly.
            std::fprintf(stderr, "close gives %u\n", call(qx::kDllInternetCloseHandle, 1, args));
            call(qx::kDllInternetOpen, 2, args);  // InternetOpenA takes five
            std::fprintf(stderr, "the function was called\n");
        },
        ::testing::ExitedWithCode(corert::kRunTimeErrorExitStatus), "^close gives 0\nrun-time error 6\n$");
}

}  // namespace
