#include "image/image_layout.h"

#include "image/gbk_text.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qx {

namespace {

constexpr uint8_t kMagic[4] = {'Q', 'X', 0, 0};
constexpr size_t kSectionNameSize = 24;
constexpr uint32_t kHeaderZeroWords = 8;

// The header names these five sections by offset, in this order, at 0x40.
constexpr const char* kNamedSections[] = {"const", "form", "help", "code", "var"};

// Fields of the image header.
constexpr size_t kFirstSectionField = 0x24;
constexpr size_t kDllCountField = 0x38;
constexpr size_t kEntryField = 0x3c;
constexpr size_t kSectionOffsetsField = 0x40;
constexpr size_t kNamesSectionField = 0x54;

// Section names come from the file: shown as UTF-8 with anything odd escaped, so that
// an error stays one readable line.
std::string section_field(const std::string& name, const char* field)
{
    return "section " + printable_gbk(name) + " " + field;
}

uint32_t section_header_size(const Section& s)
{
    return checked_u32(kSectionHeaderSize + 4 * s.relocations.size(), "section header size");
}

}  // namespace

Section make_data_section(std::string name, Bytes data)
{
    Section s;
    s.name = std::move(name);
    s.kind = kDataSection;
    s.memory_size = checked_u32(data.size(), "section size");
    s.stored_size = s.memory_size;
    s.data = std::move(data);
    return s;
}

Section make_zero_filled_section(std::string name, uint32_t memory_size)
{
    Section s;
    s.name = std::move(name);
    s.kind = kZeroFilledSection;
    s.memory_size = memory_size;
    return s;
}

const Section* Image::find(std::string_view name) const
{
    for (const Section& s : sections) {
        if (s.name == name)
            return &s;
    }
    return nullptr;
}

Section* Image::find(std::string_view name) { return const_cast<Section*>(std::as_const(*this).find(name)); }

const Section& Image::section(std::string_view name) const
{
    if (const Section* s = find(name))
        return *s;
    throw std::out_of_range("image has no section named " + std::string(name));
}

std::string Image::const_text(uint32_t offset) const
{
    const Section* c = find("const");
    if (!c || offset >= c->data.size())
        return {};
    const char* start = reinterpret_cast<const char*>(c->data.data()) + offset;
    return std::string(start, strnlen(start, c->data.size() - offset));
}

std::string manifest_entry_text(const LibraryEntry& e)
{
    return e.name + '\r' + e.identifier + '\r' + e.major + '\r' + e.minor + '\r' + e.title;
}

// ---- const pool ----

ConstPool::ConstPool()
{
    // "1.0" at 0, the empty one-dimensional array literal at 0x29, the empty text at
    // 0x36; code addresses these three by their fixed offsets.
    data_.assign(kConstEmptyText + 1, 0);
    std::memcpy(data_.data() + kConstVersionText, "1.0", 4);
    store_u32(data_.data() + kConstEmptyArray, 1);
    store_u32(data_.data() + kConstEmptyArray + 4, 0);
}

uint32_t ConstPool::add_text(std::string_view text)
{
    if (text.empty())
        return kConstEmptyText;
    if (text == "1.0")
        return kConstVersionText;
    std::string_view pool(reinterpret_cast<const char*>(data_.data()), data_.size());
    // Reuse an equal text that is stored whole (starts after a NUL, ends in one).
    for (size_t at = pool.find(text); at != std::string_view::npos; at = pool.find(text, at + 1)) {
        bool starts_text = at == 0 || pool[at - 1] == 0;
        bool ends_text = at + text.size() < pool.size() && pool[at + text.size()] == 0;
        if (starts_text && ends_text && at > kConstEmptyText)
            return static_cast<uint32_t>(at);
    }
    uint32_t offset = size();
    data_.insert(data_.end(), text.begin(), text.end());
    data_.push_back(0);
    return offset;
}

uint32_t ConstPool::add_bytes(std::span<const uint8_t> bytes, uint32_t alignment)
{
    while (alignment > 1 && data_.size() % alignment != 0)
        data_.push_back(0);
    uint32_t offset = size();
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return offset;
}

// ---- writing ----

namespace {

void write_section_header(ByteWriter& w, const Section& s, uint32_t next, uint32_t data_offset)
{
    if (s.name.size() >= kSectionNameSize)
        throw std::invalid_argument("section name too long: " + s.name);
    w.u32(section_header_size(s));
    w.u32(next);
    w.u32(s.kind);
    w.bytes(s.name);
    w.zeros(kSectionNameSize - s.name.size());
    w.u32(s.memory_size);
    w.u32(s.stored_size);
    w.u32(data_offset);
    w.u32(checked_u32(s.relocations.size(), "relocation count"));
    w.u32(s.reserved);
    for (uint32_t entry : s.relocations)
        w.u32(entry);
}

}  // namespace

Bytes write_image(const Image& image, ImageLayoutInfo* info)
{
    for (size_t i = 0; i + 1 < image.sections.size(); ++i) {
        const Section& s = image.sections[i];
        if (s.data.size() != s.stored_size)
            throw std::invalid_argument("section " + s.name +
                                        ": only the last section may carry bytes beyond its stored size");
    }

    Bytes out;
    ByteWriter w(out);
    w.bytes(std::span(kMagic));
    w.zeros(4 * kHeaderZeroWords);
    w.u32(0);  // first section, patched below
    for (uint32_t word : image.header_words)
        w.u32(word);
    w.u32(checked_u32(image.dll_commands.size(), "DLL command count"));
    w.u32(image.entry_offset);
    w.zeros(4 * 6);  // section header offsets, patched below
    for (const DllCommand& d : image.dll_commands)
        w.u32(d.library_name);
    for (const DllCommand& d : image.dll_commands)
        w.u32(d.function_name);

    ImageLayoutInfo layout;
    layout.manifest_offset = checked_u32(w.size(), "manifest offset");
    for (const LibraryEntry& e : image.manifest) {
        std::string text = manifest_entry_text(e);
        if (text.find('\0') != std::string::npos)
            throw std::invalid_argument("manifest entry " + e.name + " holds a zero byte");
        w.nul_text(text);
    }
    w.nul_text("");

    w.patch_u32(kFirstSectionField, checked_u32(w.size(), "image size"));
    for (size_t i = 0; i < image.sections.size(); ++i) {
        const Section& s = image.sections[i];
        uint32_t header_offset = checked_u32(w.size(), "image size");
        uint64_t data_start = uint64_t(header_offset) + section_header_size(s);
        bool stores = !s.stores_nothing();
        uint32_t data_offset = stores ? checked_u32(data_start, "data offset") : kNoOffset;
        bool last = i + 1 == image.sections.size();
        uint32_t next = last ? kNoOffset : checked_u32(data_start + s.data.size(), "next section offset");
        write_section_header(w, s, next, data_offset);
        w.bytes(s.data);
        layout.sections.push_back({s.name, header_offset, data_offset});
    }

    for (size_t i = 0; i < std::size(kNamedSections); ++i) {
        auto it = std::find_if(layout.sections.begin(), layout.sections.end(),
                               [&](const SectionPlacement& p) { return p.name == kNamedSections[i]; });
        if (it == layout.sections.end())
            throw std::invalid_argument(std::string("image has no section named ") + kNamedSections[i]);
        w.patch_u32(kSectionOffsetsField + 4 * i, it->header_offset);
        if (i == 0)
            w.patch_u32(kNamesSectionField, it->header_offset);
    }
    if (info)
        *info = std::move(layout);
    return out;
}

// ---- reading ----

namespace {

LibraryEntry parse_manifest_entry(ByteReader& r, const std::string& text, size_t at)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t cr = text.find('\r'); cr != std::string::npos; cr = text.find('\r', start)) {
        fields.push_back(text.substr(start, cr - start));
        start = cr + 1;
    }
    fields.push_back(text.substr(start));
    if (fields.size() != 5)
        r.fail_at(at, "manifest entry", "has " + std::to_string(fields.size()) + " fields separated by CR, expected 5");
    return {fields[0], fields[1], fields[2], fields[3], fields[4]};
}

std::vector<LibraryEntry> read_manifest(ByteReader& r)
{
    std::vector<LibraryEntry> manifest;
    for (;;) {
        size_t at = r.position();
        std::string text = r.nul_text("manifest entry");
        if (text.empty())
            return manifest;
        manifest.push_back(parse_manifest_entry(r, text, at));
    }
}

struct RawSectionHeader {
    uint32_t offset, header_size, next, kind;
    std::string name;
    uint32_t memory_size, stored_size, data_offset, reloc_count, reserved;
};

RawSectionHeader read_section_header(ByteReader& r, uint32_t offset)
{
    r.seek(offset, "section header offset");
    RawSectionHeader h{};
    h.offset = offset;
    h.header_size = r.u32("section header size");
    h.next = r.u32("next section offset");
    h.kind = r.u32("section kind");
    size_t name_at = r.position();
    auto name = r.bytes(kSectionNameSize, "section name");
    const void* nul = std::memchr(name.data(), 0, name.size());
    if (!nul)
        r.fail_at(name_at, "section name", "not ended by a zero byte within 24 bytes");
    h.name.assign(reinterpret_cast<const char*>(name.data()), static_cast<const uint8_t*>(nul) - name.data());
    // The writer pads with zeros; anything else there would be lost on the way back.
    for (size_t i = h.name.size(); i < name.size(); ++i) {
        if (name[i] != 0)
            r.fail_at(name_at + i, "section name", "nonzero byte after the name's zero byte");
    }
    h.memory_size = r.u32("section memory size");
    h.stored_size = r.u32("section stored size");
    h.data_offset = r.u32("section data offset");
    h.reloc_count = r.u32("relocation count");
    h.reserved = r.u32("section reserved word");
    if (uint64_t(h.header_size) != kSectionHeaderSize + 4 * uint64_t(h.reloc_count))
        r.fail_at(offset, section_field(h.name, "header size"),
                  std::to_string(h.header_size) + " does not match 56 + 4 x " + std::to_string(h.reloc_count) +
                      " relocations");
    return h;
}

Section read_section(ByteReader& r, const RawSectionHeader& h, size_t image_size)
{
    Section s;
    s.name = h.name;
    s.kind = h.kind;
    s.memory_size = h.memory_size;
    s.stored_size = h.stored_size;
    s.reserved = h.reserved;
    for (uint32_t i = 0; i < h.reloc_count; ++i)
        s.relocations.push_back(r.u32("relocation entry"));

    uint64_t header_end = uint64_t(h.offset) + h.header_size;
    if (h.data_offset == kNoOffset) {
        if (h.stored_size != 0)
            r.fail_at(h.offset + 0x28, section_field(h.name, "stored size"),
                      "bytes are stored but the data offset is 0xFFFFFFFF");
        // The last section's data runs to the image's end; storing none, it ends the image.
        if (h.next == kNoOffset && header_end != image_size)
            r.fail_at(h.offset + 0x2c, section_field(h.name, "data offset"),
                      "0xFFFFFFFF, but " + std::to_string(image_size - header_end) + " bytes follow the last section");
        return s;
    }
    if (h.data_offset != header_end)
        r.fail_at(h.offset + 0x2c, section_field(h.name, "data offset"),
                  hex32(h.data_offset) + " does not follow the header (" + hex32(uint32_t(header_end)) + ")");
    if (header_end + h.stored_size > image_size)
        r.fail_at(h.offset + 0x28, section_field(h.name, "stored size"),
                  std::to_string(h.stored_size) + " bytes overrun the image");
    uint64_t data_end = h.next == kNoOffset ? image_size : header_end + h.stored_size;
    r.seek(h.data_offset, "section data");
    auto data = r.bytes(static_cast<size_t>(data_end - h.data_offset), section_field(h.name, "data"));
    s.data.assign(data.begin(), data.end());
    return s;
}

void check_dll_name(ByteReader& r, const Section& names, uint32_t offset, size_t field_at, const char* what)
{
    bool ok = offset < names.data.size() && std::memchr(names.data.data() + offset, 0, names.data.size() - offset);
    if (!ok)
        r.fail_at(field_at, what, "offset " + hex32(offset) + " is not a text inside the const data");
}

}  // namespace

Image read_image(std::span<const uint8_t> bytes, ImageLayoutInfo* info)
{
    ByteReader r(bytes);
    Image image;
    auto magic = r.bytes(4, "magic");
    if (std::memcmp(magic.data(), kMagic, 4) != 0)
        r.fail_at(0, "magic", "not \"QX\" followed by two zero bytes");
    r.zeros(4 * kHeaderZeroWords, "header zero words");
    uint32_t first_section = r.u32("first section offset");
    for (uint32_t& word : image.header_words)
        word = r.u32("header word");
    uint32_t dll_count = r.u32("DLL command count");
    image.entry_offset = r.u32("entry routine offset");
    uint32_t named_offsets[std::size(kNamedSections)];
    for (uint32_t& offset : named_offsets)
        offset = r.u32("section header offset");
    uint32_t names_section = r.u32("DLL names section offset");

    if (uint64_t(dll_count) * 8 > r.remaining())
        r.fail_at(kDllCountField, "DLL command count", std::to_string(dll_count) + " entries overrun the image");
    image.dll_commands.resize(dll_count);
    for (DllCommand& d : image.dll_commands)
        d.library_name = r.u32("DLL library-name offset");
    for (DllCommand& d : image.dll_commands)
        d.function_name = r.u32("DLL function-name offset");

    ImageLayoutInfo layout;
    layout.manifest_offset = static_cast<uint32_t>(r.position());
    image.manifest = read_manifest(r);
    if (first_section != r.position())
        r.fail_at(kFirstSectionField, "first section offset",
                  hex32(first_section) + " is not the byte after the manifest (" + hex32(uint32_t(r.position())) + ")");

    // Each next-offset must be the byte after its section, so the chain only moves
    // forward: it can neither loop nor skip.
    for (uint32_t offset = first_section; offset != kNoOffset;) {
        RawSectionHeader h = read_section_header(r, offset);
        Section s = read_section(r, h, bytes.size());
        uint64_t end =
            h.data_offset == kNoOffset ? uint64_t(offset) + h.header_size : uint64_t(h.data_offset) + h.stored_size;
        if (h.next != kNoOffset && h.next != end)
            r.fail_at(offset + 4, section_field(h.name, "next offset"),
                      hex32(h.next) + " is not the byte after the section (" + hex32(uint32_t(end)) + ")");
        layout.sections.push_back({h.name, offset, h.data_offset});
        image.sections.push_back(std::move(s));
        offset = h.next;
    }

    for (size_t i = 0; i < std::size(kNamedSections); ++i) {
        size_t field = kSectionOffsetsField + 4 * i;
        auto it = std::find_if(layout.sections.begin(), layout.sections.end(),
                               [&](const SectionPlacement& p) { return p.header_offset == named_offsets[i]; });
        if (it == layout.sections.end() || it->name != kNamedSections[i])
            r.fail_at(field, std::string(kNamedSections[i]) + " section offset",
                      hex32(named_offsets[i]) + " is not the header of a section named " + kNamedSections[i]);
    }
    if (names_section != named_offsets[0])
        r.fail_at(kNamesSectionField, "DLL names section offset", "does not name the const section");

    const Section& names = image.section("const");
    for (size_t i = 0; i < image.dll_commands.size(); ++i) {
        check_dll_name(r, names, image.dll_commands[i].library_name, kImageHeaderSize + 4 * i,
                       "DLL library-name offset");
        check_dll_name(r, names, image.dll_commands[i].function_name, kImageHeaderSize + 4 * (dll_count + i),
                       "DLL function-name offset");
    }
    const Section& code = image.section("code");
    if (image.entry_offset >= code.memory_size)
        r.fail_at(kEntryField, "entry routine offset", hex32(image.entry_offset) + " lies outside the code section");

    if (info)
        *info = std::move(layout);
    return image;
}

}  // namespace qx
