// Routines built into the test image (and, the same sources, into a host library):
// each exercises one service or one kind of linked reference.
#pragma once

#include <stdint.h>

// A kernel command number only the test's runtime knows.
inline constexpr uint32_t kTestCommand = 0x7f0;

extern "C" {
uint64_t TestEveryArgumentKind(const char* text, const void* byte_set);
int32_t TestFindText(const char* text);
int32_t TestNullText();
double TestToNumber();
uint32_t TestByteElement(const void* byte_set, int32_t index);
void TestSetByteElement(void* byte_set, int32_t index, uint32_t value);
uint32_t TestEmptyArrayLiteral(int32_t index);
uint32_t TestDllCall(uint32_t handle);
uint32_t TestDllCallWrongCount(uint32_t handle);
uint32_t TestUnitId();
uint32_t TestDllIndex();
uint32_t TestLibraryIndex();
uint32_t TestDataTypeId();
void* TestFetchUrl(const char* address);
void TestFreeConstTexts();
uint64_t TestProperties();
void* TestAllocateAndGrow();
void TestOwnedTexts();
void TestRegisterArrayVariable(void** variable);
const char* TestVersionText();
const char* TestLiteral();
}
