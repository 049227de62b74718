#include "corert/window/opened_pages.h"

#include <mutex>

namespace corert {

namespace {

std::mutex log_mutex;
std::vector<std::string>& log()
{
    static std::vector<std::string> addresses;
    return addresses;
}

}  // namespace

void record_opened_page(std::string_view gbk_address)
{
    std::lock_guard lock(log_mutex);
    log().emplace_back(gbk_address);
}

std::vector<std::string> opened_pages()
{
    std::lock_guard lock(log_mutex);
    return log();
}

void clear_opened_pages()
{
    std::lock_guard lock(log_mutex);
    log().clear();
}

}  // namespace corert

extern "C" void corert_record_opened_page(const char* gbk_address)
{
    corert::record_opened_page(gbk_address ? gbk_address : "");
}
