// Text and byte-set commands. Texts are GBK bytes; positions are 1-based and, like
// counts, are byte counts. Counts and positions outside the text are clamped, so no
// argument can make a command read outside its text.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "corert/command_handlers.h"
#include "corert/gbk.h"
#include "corert/kernel_commands.h"

namespace corert::handlers {
namespace {

size_t clamp_count(int32_t count, size_t limit) { return count <= 0 ? 0 : std::min(static_cast<size_t>(count), limit); }

int32_t position_result(size_t offset) { return static_cast<int32_t>(offset + 1); }

// Case-insensitive search folds both texts the same way (GBK-aware, length-keeping)
// and searches the folded copies, so offsets found apply to the original text.
class Searcher {
public:
    Searcher(std::string_view text, std::string_view sought, bool ignore_case)
    {
        if (ignore_case) {
            folded_text_ = gbk_to_lower(text);
            folded_sought_ = gbk_to_lower(sought);
            text_ = folded_text_;
            sought_ = folded_sought_;
        } else {
            text_ = text;
            sought_ = sought;
        }
    }
    size_t find(size_t from) const { return text_.find(sought_, from); }

private:
    std::string folded_text_;
    std::string folded_sought_;
    std::string_view text_;
    std::string_view sought_;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Where the value of an out-of-range decimal lies: positive means overflow. Counts
// the significant integer digits, or minus the zeros after the point, plus the
// exponent (saturated).
int64_t decimal_magnitude(std::string_view mantissa, std::string_view exponent)
{
    int64_t magnitude = 0;
    size_t i = 0;
    while (i < mantissa.size() && (mantissa[i] == '0' || mantissa[i] == '+' || mantissa[i] == '-'))
        ++i;
    if (i < mantissa.size() && is_digit(mantissa[i])) {
        while (i < mantissa.size() && is_digit(mantissa[i++]))
            ++magnitude;
    } else if (i < mantissa.size() && mantissa[i] == '.') {
        for (++i; i < mantissa.size() && mantissa[i] == '0'; ++i)
            --magnitude;
    }
    int64_t exp = 0;
    bool negative = !exponent.empty() && exponent[0] == '-';
    for (char c : exponent)
        if (is_digit(c))
            exp = std::min<int64_t>(exp * 10 + (c - '0'), 1'000'000'000);
    return magnitude + (negative ? -exp : exp);
}

// The leading decimal number of a text: blanks, an optional sign, digits with an
// optional fraction, an optional exponent. No number gives 0. The locale is never
// consulted (the window toolkit may change it).
double parse_leading_number(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && is_blank(text[i]))
        ++i;
    size_t start = i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    size_t digits_start = i;
    while (i < text.size() && is_digit(text[i]))
        ++i;
    size_t digits = i - digits_start;
    if (i < text.size() && text[i] == '.') {
        size_t j = i + 1;
        while (j < text.size() && is_digit(text[j]))
            ++j;
        digits += j - i - 1;
        if (digits > 0)
            i = j;
    }
    if (digits == 0)
        return 0.0;
    size_t mantissa_end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (j < text.size() && is_digit(text[j])) {
            while (j < text.size() && is_digit(text[j]))
                ++j;
            i = j;
        }
    }
    // from_chars takes no leading '+'.
    size_t from = text[start] == '+' ? start + 1 : start;
    double value = 0.0;
    auto [end, error] = std::from_chars(text.data() + from, text.data() + i, value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        std::string_view mantissa = text.substr(digits_start, mantissa_end - digits_start);
        std::string_view exponent = text.substr(mantissa_end, i - mantissa_end);
        value = decimal_magnitude(mantissa, exponent.empty() ? exponent : exponent.substr(1)) > 0
                    ? std::numeric_limits<double>::infinity()
                    : 0.0;
        if (negative)
            value = -value;
    }
    return value;
}

std::string format_integer(int64_t value)
{
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace

uint64_t text_length(const CommandArgs& args)
{
    return integer_result(static_cast<int32_t>(std::min<size_t>(args.text(0).size(), INT32_MAX)));
}

uint64_t left_text(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    return text_result(text.substr(0, clamp_count(args.integer(1), text.size())));
}

uint64_t right_text(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    size_t n = clamp_count(args.integer(1), text.size());
    return text_result(text.substr(text.size() - n));
}

// A start before the text counts as 1; a left-out count runs to the end.
uint64_t mid_text(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    int32_t start = std::max(args.integer(1, 1), 1);
    if (static_cast<size_t>(start) > text.size())
        return text_result({});
    std::string_view rest = text.substr(start - 1);
    size_t n = args.omitted(2) ? rest.size() : clamp_count(args.integer(2), rest.size());
    return text_result(rest.substr(0, n));
}

uint64_t char_text(const CommandArgs& args)
{
    char c = static_cast<char>(args.integer(0) & 0xFF);
    return text_result(c == '\0' ? std::string_view() : std::string_view(&c, 1));
}

// An empty sought text is never found (-1): callers that step past each match
// could otherwise loop forever on it.
uint64_t find_text(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    std::string_view sought = args.text(1);
    int32_t start = std::max(args.integer(2, 1), 1);
    if (sought.empty() || static_cast<size_t>(start) > text.size())
        return integer_result(-1);
    size_t found = Searcher(text, sought, args.logical(3)).find(start - 1);
    return integer_result(found == std::string_view::npos ? -1 : position_result(found));
}

uint64_t lower_text(const CommandArgs& args) { return text_result(gbk_to_lower(args.text(0))); }

uint64_t to_number(const CommandArgs& args)
{
    if (auto integer = args.optional_integer(0))
        return number_result(*integer);
    return number_result(parse_leading_number(args.text(0)));
}

uint64_t to_text(const CommandArgs& args)
{
    switch (args.tag(0)) {
    case qx::kTagText: return text_result(args.text(0));
    case qx::kTagByteSet:
        // The text is the bytes as they are; a zero byte among them ends it when read.
        return text_result(args.byte_set(0));
    case qx::kTagInteger:
    case qx::kTagByte: return text_result(format_integer(args.integer(0)));
    case qx::kTagLogical: return text_result(args.logical(0) ? "true" : "false");
    default: return text_result({});
    }
}

uint64_t trim_blanks(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text_result(text);
}

// The span is clamped to the text: a start past the end appends.
uint64_t replace_span(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    size_t start = std::min(static_cast<size_t>(std::max(args.integer(1, 1), 1)) - 1, text.size());
    size_t n = clamp_count(args.integer(2), text.size() - start);
    std::string result(text.substr(0, start));
    result += args.text(3);
    result += text.substr(start + n);
    return text_result(result);
}

// A count given as less than 1 replaces nothing; a left-out count replaces all.
uint64_t replace_all(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    std::string_view sought = args.text(1);
    std::string_view replacement = args.text(2);
    size_t start = static_cast<size_t>(std::max(args.integer(3, 1), 1)) - 1;
    std::optional<int32_t> count = args.optional_integer(4);
    int64_t remaining = count ? std::max(*count, 0) : INT64_MAX;
    if (sought.empty() || start >= text.size() || remaining == 0)
        return text_result(text);

    Searcher searcher(text, sought, args.logical(5));
    std::string result(text.substr(0, start));
    size_t position = start;
    for (; remaining > 0; --remaining) {
        size_t found = searcher.find(position);
        if (found == std::string_view::npos)
            break;
        result += text.substr(position, found - position);
        result += replacement;
        position = found + sought.size();
    }
    result += text.substr(position);
    return text_result(result);
}

uint64_t blank_text(const CommandArgs& args)
{
    int32_t n = args.integer(0);
    return text_result(n <= 0 ? std::string() : std::string(static_cast<size_t>(n), ' '));
}

uint64_t compare_text(const CommandArgs& args)
{
    std::string_view a = args.text(0);
    std::string_view b = args.text(1);
    int order;
    if (args.logical(2))
        order = gbk_to_lower(a).compare(gbk_to_lower(b));
    else
        order = a.compare(b);
    return integer_result(order < 0 ? -1 : order > 0 ? 1 : 0);
}

// An empty or left-out separator leaves the text whole, one piece. A limit of 1 or
// more keeps at most that many pieces and drops the rest; less than 1 is no limit.
uint64_t split_text(const CommandArgs& args)
{
    std::string_view text = args.text(0);
    std::string_view separator = args.text(1);
    int32_t limit = args.integer(2, 0);
    size_t max_pieces = limit >= 1 ? static_cast<size_t>(limit) : SIZE_MAX;
    std::vector<std::string_view> pieces;
    if (text.empty())
        return text_array_result(pieces);
    if (separator.empty()) {
        pieces.push_back(text);
        return text_array_result(pieces);
    }
    size_t position = 0;
    while (pieces.size() < max_pieces) {
        size_t found = text.find(separator, position);
        if (found == std::string_view::npos) {
            pieces.push_back(text.substr(position));
            break;
        }
        pieces.push_back(text.substr(position, found - position));
        position = found + separator.size();
    }
    return text_array_result(pieces);
}

uint64_t byte_set_length(const CommandArgs& args)
{
    return integer_result(static_cast<int32_t>(std::min<size_t>(args.byte_set(0).size(), INT32_MAX)));
}

uint64_t to_byte_set(const CommandArgs& args)
{
    return byte_set_result(args.tag(0) == qx::kTagByteSet ? args.byte_set(0) : args.text(0));
}

uint64_t left_bytes(const CommandArgs& args)
{
    std::string_view bytes = args.byte_set(0);
    return byte_set_result(bytes.substr(0, clamp_count(args.integer(1), bytes.size())));
}

uint64_t blank_bytes(const CommandArgs& args)
{
    int32_t n = args.integer(0);
    return byte_set_result(n <= 0 ? std::string() : std::string(static_cast<size_t>(n), '\0'));
}

}  // namespace corert::handlers

namespace corert {

std::string format_number(double value)
{
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace corert
