// The same routine sources built as host code: they reach the services as the image's
// do, with counterparts supplied by the hosted linkage.
#include "runtime/hosted_linkage.h"
#include "tests/unit/linkage/test_routines.h"
#include "tests/unit/linkage/test_runtime.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" const uint8_t qx_hosted_const_start[];
extern "C" void EntryRoutine();

namespace linkage_test {
namespace {

class HostedRoutines : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto f = service_functions();
        runtime_.run_time_error = reinterpret_cast<qx::RunTimeErrorService>(f[0]);
        runtime_.call_dll = reinterpret_cast<qx::CallDllService>(f[1]);
        runtime_.call_library = reinterpret_cast<qx::CallLibraryService>(f[2]);
        runtime_.call_kernel = reinterpret_cast<qx::CallKernelService>(f[3]);
        runtime_.get_unit_property = reinterpret_cast<qx::GetUnitPropertyService>(f[4]);
        runtime_.set_unit_property = reinterpret_cast<qx::SetUnitPropertyService>(f[5]);
        runtime_.allocate = reinterpret_cast<qx::AllocateService>(f[6]);
        runtime_.reallocate = reinterpret_cast<qx::ReallocateService>(f[7]);
        runtime_.free = reinterpret_cast<qx::FreeService>(f[8]);
        runtime_.run_event_loop = reinterpret_cast<qx::RunEventLoopService>(f[9]);
        runtime_.hand_over = reinterpret_cast<qx::HandOverService>(f[10]);
        runtime_.load_window = reinterpret_cast<qx::LoadWindowService>(f[11]);
        runtime_.register_service = reinterpret_cast<qx::RegisterService>(f[12]);
        runtime_.counterpart = counterpart;
        qx::rt::install_hosted_runtime(&runtime_);
        reset_recorder([](const void* p) { return p >= qx_hosted_const_start && p < qx_hosted_const_start + 0x38; },
                       reinterpret_cast<const char*>(qx_hosted_const_start + 0x36));
    }
    void TearDown() override
    {
        qx::rt::install_hosted_runtime(nullptr);
        reset_recorder(nullptr, nullptr);
    }

    qx::rt::HostedRuntime runtime_;
};

TEST_F(HostedRoutines, SameRecordsCounterpartsAndChecksAsTheImage)
{
    std::string text = "t";
    void* bytes = new_byte_set("xyz");
    EXPECT_EQ(TestEveryArgumentKind(text.c_str(), bytes), 0x1234u);
    const auto& records = recorder().commands.at(0).records;
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[5].low, kUnitCounterpartBase + 0);
    EXPECT_EQ(records[5].high, kUnitCounterpartBase + 4);
    EXPECT_EQ(records[4].type, 0u);

    EXPECT_EQ(TestNullText(), 0);
    EXPECT_EQ(recorder().commands.at(1).texts.at(0), "");
    EXPECT_EQ(TestFindText("x"), 3);
    EXPECT_EQ(recorder().commands.at(2).texts.at(1), "\xcc\xec\xc6\xf8");  // GBK literal here too

    EXPECT_EQ(TestByteElement(bytes, 2), uint32_t('y'));
    EXPECT_EQ(TestByteElement(bytes, 4), 0u);
    EXPECT_EQ(TestEmptyArrayLiteral(1), 0u);
    EXPECT_EQ(recorder().errors, (std::vector<uint32_t>{qx::kErrorIndexTooLarge, qx::kErrorIndexTooLarge}));

    EXPECT_EQ(TestDllCall(5), 11u);
    EXPECT_EQ(TestDllCallWrongCount(5), 0u);
    EXPECT_EQ(recorder().errors.back(), qx::kErrorDamagedStack);
    EXPECT_EQ(TestLibraryIndex(), qx::kLibSysapi + kLibraryCounterpartBias);
}

TEST_F(HostedRoutines, EntryRoutineCallsTheSameServicesInOrder)
{
    EntryRoutine();
    const auto& s = recorder().services;
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].slot, 12u);
    EXPECT_EQ(s[1].slot, 11u);
    EXPECT_EQ(s[2].slot, 10u);
    EXPECT_EQ(s[3].slot, 9u);
}

}  // namespace
}  // namespace linkage_test
