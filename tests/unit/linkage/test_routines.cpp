#include "tests/unit/linkage/test_routines.h"

#include "runtime/commands.h"
#include "runtime/owned.h"
#include "viewer/unit_ids.h"

using namespace qx::rt;
using nimbra::kWindowId;

extern "C" {

uint64_t TestEveryArgumentKind(const char* text, const void* byte_set)
{
    return CallKernel(kTestCommand, int32_t(-7), text, ByteSetArg{byte_set}, true, omitted,
                      Control<kWindowId, nimbra::kUnitCombo1, qx::kDataTypeComboBox>(), ByteArg{0x41});
}

int32_t TestFindText(const char* text) { return FindText(text, "天气", omitted, false); }

int32_t TestNullText() { return TextLength(nullptr); }

double TestToNumber() { return ToNumber("2.5") * 2; }

uint32_t TestByteElement(const void* byte_set, int32_t index) { return ByteElement(byte_set, index); }

void TestSetByteElement(void* byte_set, int32_t index, uint32_t value)
{
    SetArrayElement<uint8_t>(byte_set, index, uint8_t(value));
}

uint32_t TestEmptyArrayLiteral(int32_t index) { return ByteElement(const_empty_array(), index); }

uint32_t TestDllCall(uint32_t handle) { return CallDll<qx::kDllInternetCloseHandle>(handle); }

// Passes one word more than the function declares: the damaged-stack case.
uint32_t TestDllCallWrongCount(uint32_t handle) { return CallDll<qx::kDllInternetCloseHandle>(handle, 0u); }

uint32_t TestUnitId() { return unit_id<nimbra::kUnitButton1>(); }
uint32_t TestDllIndex() { return dll_command<qx::kDllHttpSendRequest>(); }
uint32_t TestLibraryIndex() { return library_index<qx::kLibSysapi>(); }
uint32_t TestDataTypeId() { return data_type_id<qx::kDataTypeComboBox>(); }

void* TestFetchUrl(const char* address) { return FetchUrl(address); }

void TestFreeConstTexts()
{
    Free(const_version_text());
    Free(const_empty_text());
    Free(const_empty_array());
    Free("a literal of the const section");
    Free(Allocate(16));
}

uint64_t TestProperties()
{
    SetUnitText<kWindowId, nimbra::kUnitEditBox1>(qx::kPropText, "页头");
    SetUnitProperty<kWindowId, nimbra::kUnitBrowser4>(qx::kPropWidth, 640);
    return GetUnitProperty<kWindowId, nimbra::kUnitButton1>(qx::kPropLeft);
}

void* TestAllocateAndGrow()
{
    char* p = static_cast<char*>(Allocate(4));
    p[0] = 'q';
    p = static_cast<char*>(Reallocate(p, 64));
    p[1] = 'x';
    p[2] = 0;
    return p;
}

// Each holder frees its text when it ends or takes a new one.
void TestOwnedTexts()
{
    Text left(LeftText("abc", 2));
    left = Text(RightText("abc", 2));
    ByteSet bytes(ToByteSet(left.get()));
    TextArray pieces(SplitText("a,b", ",", omitted));
}

void TestRegisterArrayVariable(void** variable) { RegisterArrayVariable(variable); }

const char* TestVersionText() { return const_version_text(); }

const char* TestLiteral() { return "天气预报"; }

}  // extern "C"
