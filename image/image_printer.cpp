#include "image/image_printer.h"

#include "image/code_linkage.h"
#include "image/gbk_text.h"
#include "image/window_definition.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace qx {

namespace {

// Ids, type ids and style words read best at full width (0x06010000, 0x00ffffff);
// offsets and sizes use the unpadded form of our error messages.
std::string id_hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string offset_or_none(uint32_t offset) { return offset == kNoOffset ? std::string("none") : hex32(offset); }

// Appended piece by piece: GCC 12 at -O3 takes `"\"" + std::string&&` for an
// overlapping copy (-Wrestrict), which is harmless but breaks a -Werror build.
std::string quoted(std::string_view gbk)
{
    std::string text = "\"";
    text += printable_gbk(gbk);
    text += '"';
    return text;
}

// A name is printed bare (as it is grepped for); the window's empty name still needs a
// visible field so that the columns after it stay in place.
std::string bare_name(std::string_view gbk) { return gbk.empty() ? std::string("\"\"") : printable_gbk(gbk); }

std::string kind_label(uint32_t type_id)
{
    std::string label = type_name(type_id);
    std::replace(label.begin(), label.end(), ' ', '-');
    return label;
}

std::optional<uint32_t> operand_at(const Bytes& data, uint32_t offset)
{
    if (offset > data.size() || data.size() - offset < 4)
        return std::nullopt;
    return load_u32(data.data() + offset);
}

std::string operand_text(const std::optional<uint32_t>& operand)
{
    return operand ? hex32(*operand) : std::string("outside-data");
}

const SectionPlacement* find_placement(const ImageLayoutInfo& info, std::string_view name)
{
    for (const auto& p : info.sections)
        if (p.name == name)
            return &p;
    return nullptr;
}

std::string header_offset_of(const ImageLayoutInfo& info, std::string_view name)
{
    const SectionPlacement* p = find_placement(info, name);
    return p ? hex32(p->header_offset) : std::string("none");
}

// ---- header, manifest, DLL table ----

void print_header(std::ostream& out, const Image& image, const ImageLayoutInfo& info)
{
    out << "header 0x00 magic QX\n";
    out << "header 0x24 first-section "
        << (info.sections.empty() ? std::string("none") : hex32(info.sections.front().header_offset)) << '\n';
    for (size_t i = 0; i < 4; ++i)
        out << "header " << hex32(uint32_t(0x28 + 4 * i)) << " word " << image.header_words[i] << '\n';
    out << "header 0x38 dll-count " << image.dll_commands.size() << '\n';
    out << "header 0x3c entry " << hex32(image.entry_offset) << '\n';
    static const char* const kHeaderSections[] = {"const", "form", "help", "code", "var"};
    for (size_t i = 0; i < 5; ++i)
        out << "header " << hex32(uint32_t(0x40 + 4 * i)) << ' ' << kHeaderSections[i] << "-header "
            << header_offset_of(info, kHeaderSections[i]) << '\n';
    out << "header 0x54 dll-names-header " << header_offset_of(info, "const") << '\n';
    out << "header manifest-offset " << hex32(info.manifest_offset) << '\n';
}

void print_manifest(std::ostream& out, const Image& image)
{
    out << "manifest count=" << image.manifest.size() << '\n';
    for (size_t i = 0; i < image.manifest.size(); ++i) {
        const LibraryEntry& e = image.manifest[i];
        out << "manifest " << i << ' ' << bare_name(e.name) << " id=" << printable_gbk(e.identifier)
            << " version=" << printable_gbk(e.major) << '.' << printable_gbk(e.minor) << " title=" << quoted(e.title)
            << '\n';
    }
}

void print_dll_table(std::ostream& out, const Image& image)
{
    out << "dll count=" << image.dll_commands.size() << '\n';
    for (size_t i = 0; i < image.dll_commands.size(); ++i) {
        const DllCommand& d = image.dll_commands[i];
        out << "dll " << i << ' ' << bare_name(image.const_text(d.library_name)) << ' '
            << bare_name(image.const_text(d.function_name)) << " library-offset=" << hex32(d.library_name)
            << " function-offset=" << hex32(d.function_name) << '\n';
    }
}

// ---- sections ----

void print_section_header(std::ostream& out, const Section& s, const SectionPlacement* place)
{
    out << "section " << bare_name(s.name) << " kind=" << hex32(s.kind) << " memory=" << s.memory_size
        << " stored=" << s.stored_size;
    if (s.data.size() != s.stored_size)
        out << " bytes=" << s.data.size();
    out << " data=" << (place ? offset_or_none(place->data_offset) : std::string("none"))
        << " relocations=" << s.relocations.size()
        << " header=" << (place ? hex32(place->header_offset) : std::string("none")) << '\n';
}

const char* relocation_kind_name(RelocationKind kind)
{
    switch (kind) {
    case kRelocServiceSlot: return "service-slot";
    case kRelocConst: return "const";
    case kRelocVar: return "var";
    case kRelocCode: return "code";
    }
    return "unknown";
}

std::vector<Relocation> decode_table(const Section& s, const SectionPlacement* place)
{
    std::vector<Relocation> decoded;
    decoded.reserve(s.relocations.size());
    for (size_t i = 0; i < s.relocations.size(); ++i) {
        uint32_t entry = s.relocations[i];
        // Checked here rather than left to decode_relocation so that the error names
        // where the entry lies in the file.
        if ((entry & 7) > kRelocCode) {
            size_t at = place ? place->header_offset + kSectionHeaderSize + 4 * i : 0;
            throw FormatError(at, "relocation entry " + std::to_string(i),
                              "kind " + std::to_string(entry & 7) + " is not one of 0 to 3");
        }
        decoded.push_back(decode_relocation(entry));
    }
    return decoded;
}

void print_relocations(std::ostream& out, const Section& s, const SectionPlacement* place)
{
    std::vector<Relocation> table = decode_table(s, place);
    for (uint32_t kind = kRelocServiceSlot; kind <= kRelocCode; ++kind) {
        auto k = static_cast<RelocationKind>(kind);
        size_t count = std::count_if(table.begin(), table.end(), [k](const Relocation& r) { return r.kind == k; });
        out << "relocs " << relocation_kind_name(k) << " count=" << count << '\n';
        for (const Relocation& r : table) {
            if (r.kind != k)
                continue;
            std::optional<uint32_t> operand = operand_at(s.data, r.offset);
            out << "reloc " << relocation_kind_name(k) << ' ' << hex32(r.offset)
                << " operand=" << operand_text(operand);
            // A service operand is the slot's byte offset in the runtime's table.
            if (k == kRelocServiceSlot && operand && *operand % 4 == 0)
                out << " slot=" << *operand / 4;
            out << '\n';
        }
    }
}

const char* const kMarkGroupNames[kMarkGroupCount] = {"unit-id", "dll-command", "library", "data-type"};

void print_mark_groups(std::ostream& out, const Image& image, const Section& s, const SectionPlacement* place)
{
    size_t origin = place && place->data_offset != kNoOffset ? place->data_offset : 0;
    MarkGroups groups = read_mark_groups(s.data, origin);
    const Section* code = image.find("code");
    for (size_t g = 0; g < kMarkGroupCount; ++g) {
        out << "reloc1-group " << g << ' ' << kMarkGroupNames[g] << " count=" << groups[g].size() << '\n';
        for (uint32_t offset : groups[g]) {
            std::optional<uint32_t> value = code ? operand_at(code->data, offset) : std::nullopt;
            out << "reloc1 " << kMarkGroupNames[g] << ' ' << hex32(offset)
                << " value=" << (value ? id_hex(*value) : std::string("outside-code")) << '\n';
        }
    }
}

// ---- window units ----

std::string style_words(const std::vector<uint32_t>& style)
{
    std::string words;
    for (uint32_t w : style)
        words += ' ' + id_hex(w);
    return words;
}

struct TypeDataPrinter {
    std::ostream& out;
    std::string prefix;  // "unit 0x16011dae "

    void style(const std::vector<uint32_t>& words) { out << prefix << "style" << style_words(words) << '\n'; }
    void trailing(const uint32_t (&words)[2])
    {
        out << prefix << "trailing " << hex32(words[0]) << ' ' << hex32(words[1]) << '\n';
    }

    void operator()(const WindowData& d)
    {
        style(d.style);
        out << prefix << "icon bytes=" << d.icon.size() << '\n';
        out << prefix << "extra bytes=" << d.extra.size() << '\n';
        out << prefix << "title " << quoted(d.title) << '\n';
        out << prefix << "last-word " << hex32(d.last_word) << '\n';
    }
    void operator()(const LabelData& d)
    {
        style(d.style);
        out << prefix << "caption " << quoted(d.caption) << '\n';
        trailing(d.trailing);
    }
    void operator()(const ButtonData& d)
    {
        style(d.style);
        out << prefix << "caption " << quoted(d.caption) << '\n';
    }
    void operator()(const ComboBoxData& d)
    {
        style(d.style);
        out << prefix << "items " << d.items.size() << '\n';
        // Counted from 0, as the runtime's item index property counts them.
        for (size_t i = 0; i < d.items.size(); ++i)
            out << prefix << "item " << i << ' ' << quoted(d.items[i]) << '\n';
    }
    void operator()(const BrowserData& d)
    {
        style(d.style);
        out << prefix << "address " << (d.address.empty() ? std::string("none") : quoted(d.address)) << '\n';
    }
    void operator()(const EditBoxData& d)
    {
        style(d.style);
        out << prefix << "word-0x4a " << d.word_at_0x4a << '\n';
        out << prefix << "text bytes=" << d.text.size() << ' ' << quoted(d.text) << '\n';
        trailing(d.trailing);
    }
    void operator()(const RawTypeData& d) { out << prefix << "type-data bytes=" << d.bytes.size() << '\n'; }
};

void print_unit(std::ostream& out, const Unit& u)
{
    std::string prefix = "unit " + id_hex(u.id) + ' ';
    out << prefix << bare_name(u.name) << ' ' << kind_label(u.type_id) << " left=" << u.left << " top=" << u.top
        << " width=" << u.width << " height=" << u.height << " flags=" << u.flags << " cursor=" << u.cursor << '\n';
    out << prefix << "type " << id_hex(u.type_id) << '\n';
    if (!u.comment.empty())
        out << prefix << "comment " << quoted(u.comment) << '\n';
    if (!u.tag.empty())
        out << prefix << "tag " << quoted(u.tag) << '\n';
    out << prefix << "events " << u.events.size() << '\n';
    for (const EventBinding& e : u.events)
        out << prefix << "event " << e.event << " code=" << hex32(e.code_offset) << '\n';
    std::visit(TypeDataPrinter{out, prefix}, u.data);
}

void print_form(std::ostream& out, const Section& s, const SectionPlacement* place)
{
    size_t origin = place && place->data_offset != kNoOffset ? place->data_offset : 0;
    FormSection form = read_form(s.data, origin);
    out << "form window-list-word " << form.window_list_word << '\n';
    out << "form window-id " << id_hex(form.window_id) << '\n';
    out << "form window-words " << id_hex(form.window_words[0]) << ' ' << id_hex(form.window_words[1]) << ' '
        << id_hex(form.window_words[2]) << '\n';
    out << "form units " << form.units.size() << '\n';
    for (const Unit& u : form.units)
        print_unit(out, u);
}

void print_hex_dump(std::ostream& out, const Section& s)
{
    constexpr size_t kRow = 16;
    for (size_t at = 0; at < s.data.size(); at += kRow) {
        char line[96];
        int n = std::snprintf(line, sizeof line, "data %08zx ", at);
        std::string text(line, size_t(n));
        for (size_t i = at; i < std::min(at + kRow, s.data.size()); ++i) {
            std::snprintf(line, sizeof line, " %02x", s.data[i]);
            text += line;
        }
        out << text << '\n';
    }
}

// What a section holds beyond its header, for the sections whose contents we know.
void print_contents(std::ostream& out, const Image& image, const Section& s, const SectionPlacement* place)
{
    if (!s.relocations.empty())
        print_relocations(out, s, place);
    if (s.name == "form")
        print_form(out, s, place);
    else if (s.name == "@reloc1")
        print_mark_groups(out, image, s, place);
}

}  // namespace

void print_image(std::ostream& out, const Image& image, const ImageLayoutInfo& info)
{
    print_header(out, image, info);
    print_manifest(out, image);
    print_dll_table(out, image);
    for (const Section& s : image.sections)
        print_section_header(out, s, find_placement(info, s.name));
    for (const Section& s : image.sections)
        print_contents(out, image, s, find_placement(info, s.name));
}

bool print_section(std::ostream& out, const Image& image, const ImageLayoutInfo& info, std::string_view name)
{
    const Section* s = image.find(name);
    if (!s)
        return false;
    const SectionPlacement* place = find_placement(info, name);
    print_section_header(out, *s, place);
    if (s->relocations.empty() && s->name != "form" && s->name != "@reloc1")
        print_hex_dump(out, *s);
    else
        print_contents(out, image, *s, place);
    return true;
}

}  // namespace qx
