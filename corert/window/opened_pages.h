// What OpenWebPage was asked to open, in order, for automation to list.
//
// The sysapi support library reports every address here (through the C entry below,
// which the runtime's shared object exports) before it hands the address to the
// desktop. The log lives as long as the process.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corert {

void record_opened_page(std::string_view gbk_address);
std::vector<std::string> opened_pages();  // GBK, oldest first
void clear_opened_pages();                // for tests

}  // namespace corert

extern "C" __attribute__((visibility("default"))) void corert_record_opened_page(const char* gbk_address);
