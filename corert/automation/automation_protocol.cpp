#include "corert/automation/automation_protocol.h"

#include "corert/automation/wire_text.h"
#include "corert/gbk.h"
#include "corert/window/opened_pages.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

namespace corert {

namespace {

struct Reply {
    std::string lines;
    void line(const std::string& text) { lines += text + "\n"; }
    std::string ok() { return lines + "ok\n"; }
};

std::string error(const std::string& message) { return "error " + message + "\n"; }

std::string hex_id(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", id);
    return text;
}

std::string quoted_gbk(std::string_view gbk) { return wire::quote(gbk_to_utf8(gbk)); }

std::optional<int64_t> parse_integer(std::string_view text)
{
    int64_t value = 0;
    int base = 10;
    bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || problem != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return negative ? -value : value;
}

std::vector<std::string_view> split_words(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos)
            break;
        size_t end = line.find_first_of(" \t", start);
        if (end == std::string_view::npos)
            end = line.size();
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

// "window", a hex id (the window's unit-list id works too), or the name in UTF-8.
const UnitState* find_unit(const WindowState& window, std::string_view reference)
{
    if (reference == "window")
        return window.units.empty() ? nullptr : &window.units.front();
    if (reference.starts_with("0x") || reference.starts_with("0X")) {
        auto id = parse_integer(reference);
        return id && *id >= 0 && *id <= 0xffffffff ? window.find(static_cast<uint32_t>(*id)) : nullptr;
    }
    return window.find_by_name(utf8_to_gbk(reference));
}

std::string unit_line(const UnitState& unit)
{
    std::string line = "unit " + hex_id(unit.id) + " kind=" + kind_name(unit.kind) + " name=" + quoted_gbk(unit.name) +
                       " left=" + std::to_string(unit.geometry.left) + " top=" + std::to_string(unit.geometry.top) +
                       " width=" + std::to_string(unit.geometry.width) +
                       " height=" + std::to_string(unit.geometry.height) + " flags=" + std::to_string(unit.flags) +
                       " cursor=" + std::to_string(unit.cursor) +
                       " handler=" + (unit.handler ? hex_id(*unit.handler) : std::string("none"));
    switch (unit.kind) {
    case UnitKind::Window: line += " title=" + quoted_gbk(unit.caption); break;
    case UnitKind::Label:
    case UnitKind::Button: line += " caption=" + quoted_gbk(unit.caption); break;
    case UnitKind::ComboBox:
        line += " items=" + std::to_string(unit.items.size()) + " selected=" + std::to_string(unit.selected);
        break;
    case UnitKind::EditBox: line += " text=" + quoted_gbk(unit.text); break;
    case UnitKind::Browser: line += " address=" + quoted_gbk(unit.address); break;
    case UnitKind::Other: break;
    }
    return line;
}

std::string box_line(const MessageBoxRecord& box)
{
    std::string line = "box " + std::to_string(box.number) + (box.open ? " open" : " answered") +
                       " flags=" + std::to_string(box.flags);
    if (!box.open)
        line += std::string(" answer=") + button_name(box.answer);
    if (box.has_title)
        line += " title=" + quoted_gbk(box.title);
    return line + " message=" + quoted_gbk(box.message);
}

std::string visit_line(const BrowserVisit& visit, const WindowState& window)
{
    const UnitState* unit = window.find(visit.unit);
    const PageLoad& load = visit.load;
    std::string line = "visit " + std::to_string(visit.number) + " unit=" + hex_id(visit.unit) +
                       " name=" + quoted_gbk(unit ? unit->name : std::string());
    if (!load.local_file)
        return line + " kind=url address=" + quoted_gbk(load.address);
    line += " kind=file address=" + quoted_gbk(load.address) + " path=" + wire::quote(load.path);
    return line + (load.read ? " bytes=" + std::to_string(load.bytes.size()) : std::string(" unreadable"));
}

using Words = std::vector<std::string_view>;

struct Context {
    WindowBackend& backend;
    const Words& words;
    std::stop_token stop;
};

std::string units_command(Context& c)
{
    Reply reply;
    for (const UnitState& unit : c.backend.snapshot().units)
        reply.line(unit_line(unit));
    return reply.ok();
}

std::string unit_command(Context& c)
{
    WindowState window = c.backend.snapshot();
    const UnitState* unit = find_unit(window, c.words[1]);
    if (!unit)
        return error("no unit " + std::string(c.words[1]));
    Reply reply;
    reply.line(unit_line(*unit));
    return reply.ok();
}

std::string get_command(Context& c)
{
    WindowState window = c.backend.snapshot();
    const UnitState* unit = find_unit(window, c.words[1]);
    if (!unit)
        return error("no unit " + std::string(c.words[1]));
    auto property = parse_integer(c.words[2]);
    if (!property || *property < 0 || *property > 0xffffffff)
        return error("not a property number: " + std::string(c.words[2]));
    PropertyValue value = read_property(*unit, static_cast<uint32_t>(*property));
    Reply reply;
    if (const int32_t* number = std::get_if<int32_t>(&value))
        reply.line("value " + std::to_string(*number));
    else if (const std::string* text = std::get_if<std::string>(&value))
        reply.line("value " + quoted_gbk(*text));
    else
        return error("unit " + hex_id(unit->id) + " has no property " + std::to_string(*property));
    return reply.ok();
}

std::string items_command(Context& c)
{
    WindowState window = c.backend.snapshot();
    const UnitState* unit = find_unit(window, c.words[1]);
    if (!unit)
        return error("no unit " + std::string(c.words[1]));
    if (unit->kind != UnitKind::ComboBox)
        return error("unit " + hex_id(unit->id) + " is not a combo box");
    Reply reply;
    for (size_t i = 0; i < unit->items.size(); ++i)
        reply.line("item " + std::to_string(i) + " " + quoted_gbk(unit->items[i]));
    return reply.ok();
}

std::string post_action(Context& c, UserAction action)
{
    std::string problem = c.backend.post(action);
    return problem.empty() ? "ok\n" : error(problem);
}

std::string pick_command(Context& c)
{
    WindowState window = c.backend.snapshot();
    const UnitState* unit = find_unit(window, c.words[1]);
    if (!unit)
        return error("no unit " + std::string(c.words[1]));
    auto index = parse_integer(c.words[2]);
    if (!index || *index < INT32_MIN || *index > INT32_MAX)
        return error("not an item index: " + std::string(c.words[2]));
    return post_action(c, {UserAction::Kind::Pick, unit->id, static_cast<int32_t>(*index)});
}

std::string click_command(Context& c)
{
    WindowState window = c.backend.snapshot();
    const UnitState* unit = find_unit(window, c.words[1]);
    if (!unit)
        return error("no unit " + std::string(c.words[1]));
    return post_action(c, {UserAction::Kind::Click, unit->id, 0});
}

std::string close_command(Context& c) { return post_action(c, {UserAction::Kind::Close, 0, 0}); }

std::string boxes_command(Context& c)
{
    Reply reply;
    for (const MessageBoxRecord& box : c.backend.message_boxes())
        reply.line(box_line(box));
    return reply.ok();
}

std::string answer_command(Context& c)
{
    std::optional<int32_t> button;
    if (c.words.size() > 1) {
        button = button_by_name(c.words[1]);
        if (auto number = parse_integer(c.words[1]); !button && number && *number > 0 && *number < 100)
            button = static_cast<int32_t>(*number);
        if (!button)
            return error("not a button: " + std::string(c.words[1]));
    }
    std::string problem = c.backend.answer_box(button);
    return problem.empty() ? "ok\n" : error(problem);
}

std::string browsers_command(Context& c)
{
    WindowState window = c.backend.snapshot();
    Reply reply;
    for (const BrowserVisit& visit : c.backend.browser_visits())
        reply.line(visit_line(visit, window));
    return reply.ok();
}

std::string page_command(Context& c)
{
    auto number = parse_integer(c.words[1]);
    std::vector<BrowserVisit> visits = c.backend.browser_visits();
    if (!number || *number < 1 || static_cast<size_t>(*number) > visits.size())
        return error("no visit " + std::string(c.words[1]) + " (" + std::to_string(visits.size()) + " so far)");
    const BrowserVisit& visit = visits[static_cast<size_t>(*number - 1)];
    Reply reply;
    reply.line(visit_line(visit, c.backend.snapshot()));
    std::string encoded = wire::base64_encode(visit.load.bytes);
    for (size_t at = 0; at < encoded.size(); at += 76)
        reply.line("data " + encoded.substr(at, 76));
    return reply.ok();
}

std::string opened_command(Context&)
{
    Reply reply;
    std::vector<std::string> pages = opened_pages();
    for (size_t i = 0; i < pages.size(); ++i)
        reply.line("opened " + std::to_string(i + 1) + " " + quoted_gbk(pages[i]));
    return reply.ok();
}

std::string wait_idle_command(Context& c)
{
    double seconds = 30;
    if (c.words.size() > 1) {
        auto whole = parse_integer(c.words[1]);
        if (!whole || *whole < 0 || *whole > 86400)
            return error("not a number of seconds: " + std::string(c.words[1]));
        seconds = static_cast<double>(*whole);
    }
    auto timeout = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    Reply reply;
    switch (c.backend.wait_idle(timeout, c.stop)) {
    case IdleState::Idle: reply.line("idle"); break;
    case IdleState::Closed: reply.line("closed"); break;
    case IdleState::BoxOpen: {
        for (const MessageBoxRecord& box : c.backend.message_boxes()) {
            if (box.open)
                reply.line(box_line(box));
        }
        break;
    }
    case IdleState::Busy: {
        WindowStatus status = c.backend.status();
        return error("still busy after " + std::to_string(static_cast<int64_t>(seconds)) + " s (" +
                     std::to_string(status.handler_depth) + " handlers running, " + std::to_string(status.queued) +
                     " events queued)");
    }
    }
    return reply.ok();
}

std::optional<double> seconds_argument(const Words& words, size_t at, double fallback)
{
    if (words.size() <= at)
        return fallback;
    auto whole = parse_integer(words[at]);
    if (!whole || *whole < 0 || *whole > 86400)
        return std::nullopt;
    return static_cast<double>(*whole);
}

std::chrono::milliseconds to_milliseconds(double seconds)
{
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

const UnitState* browser_unit(const WindowState& window, std::string_view reference, std::string& problem)
{
    const UnitState* unit = find_unit(window, reference);
    if (!unit)
        problem = "no unit " + std::string(reference);
    else if (unit->kind != UnitKind::Browser)
        problem = "unit " + hex_id(unit->id) + " is not a browser";
    return problem.empty() ? unit : nullptr;
}

std::string wait_page_command(Context& c)
{
    std::string problem;
    WindowState window = c.backend.snapshot();
    const UnitState* unit = browser_unit(window, c.words[1], problem);
    if (!unit)
        return error(problem);
    auto seconds = seconds_argument(c.words, 2, 30);
    if (!seconds)
        return error("not a number of seconds: " + std::string(c.words[2]));
    problem = c.backend.wait_page(unit->id, to_milliseconds(*seconds), c.stop);
    if (!problem.empty())
        return error(problem);
    Reply reply;
    reply.line("loaded " + hex_id(unit->id));
    return reply.ok();
}

std::string page_text_command(Context& c)
{
    std::string problem;
    WindowState window = c.backend.snapshot();
    const UnitState* unit = browser_unit(window, c.words[1], problem);
    if (!unit)
        return error(problem);
    std::string text;
    problem = c.backend.page_text(unit->id, to_milliseconds(30), text);
    if (!problem.empty())
        return error(problem);
    Reply reply;
    reply.line("text " + wire::quote(text));
    return reply.ok();
}

// The control answers its measures, a line break and the text in view; the answer keeps
// them on one line, the text quoted.
std::string page_layout_command(Context& c)
{
    std::string problem;
    WindowState window = c.backend.snapshot();
    const UnitState* unit = browser_unit(window, c.words[1], problem);
    if (!unit)
        return error(problem);
    std::string layout;
    problem = c.backend.page_layout(unit->id, to_milliseconds(30), layout);
    if (!problem.empty())
        return error(problem);
    size_t line_end = layout.find('\n');
    std::string in_view = line_end == std::string::npos ? std::string() : layout.substr(line_end + 1);
    Reply reply;
    reply.line("layout " + layout.substr(0, line_end) + " in-view=" + wire::quote(in_view));
    return reply.ok();
}

std::string screenshot_command(Context& c)
{
    std::string problem = c.backend.screenshot(std::string(c.words[1]), to_milliseconds(30));
    return problem.empty() ? "ok\n" : error(problem);
}

std::string state_command(Context& c)
{
    WindowStatus status = c.backend.status();
    Reply reply;
    reply.line(std::string("state loaded=") + (status.loaded ? "yes" : "no") +
               " closed=" + (status.closed ? "yes" : "no") + " handlers=" + std::to_string(status.handler_depth) +
               " queued=" + std::to_string(status.queued) +
               " box=" + (status.open_box ? std::to_string(*status.open_box) : std::string("none")) +
               " deepest=" + std::to_string(status.deepest_handler_depth));
    return reply.ok();
}

struct Command {
    const char* name;
    size_t min_args, max_args;
    const char* usage;
    std::string (*run)(Context&);
};

constexpr Command kCommands[] = {
    {"units", 0, 0, "units", units_command},
    {"unit", 1, 1, "unit NAME|ID", unit_command},
    {"get", 2, 2, "get NAME|ID PROPERTY", get_command},
    {"items", 1, 1, "items NAME|ID", items_command},
    {"pick", 2, 2, "pick NAME|ID INDEX", pick_command},
    {"click", 1, 1, "click NAME|ID", click_command},
    {"close", 0, 0, "close", close_command},
    {"boxes", 0, 0, "boxes", boxes_command},
    {"answer", 0, 1, "answer [BUTTON]", answer_command},
    {"browsers", 0, 0, "browsers", browsers_command},
    {"page", 1, 1, "page VISIT", page_command},
    {"opened", 0, 0, "opened", opened_command},
    {"wait-idle", 0, 1, "wait-idle [SECONDS]", wait_idle_command},
    {"state", 0, 0, "state", state_command},
    {"wait-page", 1, 2, "wait-page NAME|ID [SECONDS]", wait_page_command},
    {"page-text", 1, 1, "page-text NAME|ID", page_text_command},
    {"page-layout", 1, 1, "page-layout NAME|ID", page_layout_command},
    {"screenshot", 1, 1, "screenshot PATH", screenshot_command},
};

}  // namespace

std::string answer_request(WindowBackend& backend, std::string_view line, std::stop_token stop)
{
    Words words = split_words(line);
    if (words.empty())
        return error("empty request");
    for (const Command& command : kCommands) {
        if (words[0] != command.name)
            continue;
        size_t args = words.size() - 1;
        if (args < command.min_args || args > command.max_args)
            return error(std::string("usage: ") + command.usage);
        Context context{backend, words, stop};
        return command.run(context);
    }
    return error("unknown command " + std::string(words[0]));
}

}  // namespace corert
