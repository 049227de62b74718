// Walks a JSON text from outside (a provider's answer) without building anything, and
// stops at the first value nested deeper than a bound: such a text is parsed into a tree
// only once it has passed, so that a hostile one cannot run the parser's recursion out of
// stack.
#pragma once

#include <nlohmann/json.hpp>

namespace weatherd {

class JsonNestingCheck : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit JsonNestingCheck(int deepest) : deepest_(deepest) {}

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return ++depth_ <= deepest_; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return --depth_, true; }
    bool start_array(std::size_t) override { return ++depth_ <= deepest_; }
    bool end_array() override { return --depth_, true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
    // After a walk that failed: whether the nesting, not the syntax, stopped it.
    bool too_deep() const { return depth_ > deepest_; }

private:
    int deepest_;
    int depth_ = 0;
};

}  // namespace weatherd
