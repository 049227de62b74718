// The program image: header, DLL command table, support-library manifest and the
// chain of sections.
//
//   0x00  "QX\0\0", eight zero words
//   0x24  offset of the first section header
//   0x28  header words 1, 3, 0, 79285
//   0x38  DLL command count N, entry routine offset (inside the code data)
//   0x40  offsets of the const, form, help, code and var section headers, then the
//         header of the section whose data holds the DLL names (const)
//   0x58  N library-name offsets, N function-name offsets (both into the const data)
//         then the manifest: NUL-ended entries "name\r id\r major\r minor\r title",
//         closed by an empty entry; the first section header follows it.
//
// Sections follow one another: a 56-byte header (the code header is followed by its
// relocation table and counts it in its size), then the stored data, then the next
// header. The last header's next-offset is 0xFFFFFFFF.
//
// The model keeps the bytes that sections store and the values the header fields hold;
// the writer computes every offset. It knows nothing about how the code was produced.
#pragma once

#include "image/byte_io.h"

#include <optional>
#include <string>
#include <vector>

namespace qx {

inline constexpr uint32_t kNoOffset = 0xffffffffu;
inline constexpr uint32_t kSectionHeaderSize = 56;
inline constexpr size_t kImageHeaderSize = 0x58;  // before the DLL table

enum SectionKind : uint32_t {
    kDataSection = 1,
    kCodeSection = 5,
    kZeroFilledSection = 0x13,
};

// Fixed points of the const section that code relies on.
inline constexpr uint32_t kConstVersionText = 0x00;  // "1.0"
inline constexpr uint32_t kConstEmptyArray = 0x29;   // dimension count 1, size 0
inline constexpr uint32_t kConstEmptyText = 0x36;    // a lone NUL

struct LibraryEntry {
    std::string name;        // "corert", "WebPane", ...
    std::string identifier;  // 32 hex digits
    std::string major;
    std::string minor;
    std::string title;  // GBK

    bool operator==(const LibraryEntry&) const = default;
};

// Both offsets point at NUL-ended texts inside the const section's data.
struct DllCommand {
    uint32_t library_name = 0;
    uint32_t function_name = 0;

    bool operator==(const DllCommand&) const = default;
};

struct Section {
    std::string name;  // up to 23 bytes
    uint32_t kind = kDataSection;
    uint32_t memory_size = 0;
    // The stored-bytes field. Normally data.size(); the @reloc1 section stores a
    // smaller value than the bytes it carries (see code_linkage.h).
    uint32_t stored_size = 0;
    // The bytes that follow the header (and, for code, the relocation table) up to the
    // next header, or up to the end of the image for the last section.
    Bytes data;
    // Code section only: the relocation entries written between header and data.
    std::vector<uint32_t> relocations;
    uint32_t reserved = 0;  // last header word; zero in our images

    bool stores_nothing() const { return stored_size == 0 && data.empty(); }
    bool operator==(const Section&) const = default;
};

Section make_data_section(std::string name, Bytes data);
Section make_zero_filled_section(std::string name, uint32_t memory_size);

struct Image {
    uint32_t header_words[4] = {1, 3, 0, 79285};
    uint32_t entry_offset = 0;
    std::vector<DllCommand> dll_commands;
    std::vector<LibraryEntry> manifest;
    // In chain order: const, form, help, code, var, @reloc1.
    std::vector<Section> sections;

    const Section* find(std::string_view name) const;
    Section* find(std::string_view name);
    const Section& section(std::string_view name) const;  // throws if missing

    // The NUL-ended text at `offset` in the const data ("" when out of range).
    std::string const_text(uint32_t offset) const;

    bool operator==(const Image&) const = default;
};

// Where the writer placed things, for tools and tests.
struct SectionPlacement {
    std::string name;
    uint32_t header_offset;
    uint32_t data_offset;  // kNoOffset when nothing is stored
};

struct ImageLayoutInfo {
    uint32_t manifest_offset = 0;
    std::vector<SectionPlacement> sections;
};

// Writes the exact byte layout. The sections named const, form, help, code and var must
// exist (their header offsets go into the image header).
Bytes write_image(const Image& image, ImageLayoutInfo* info = nullptr);

// Parses and validates an image; throws FormatError naming the offset and field.
Image read_image(std::span<const uint8_t> bytes, ImageLayoutInfo* info = nullptr);

// The manifest entry as stored: five fields joined by CR.
std::string manifest_entry_text(const LibraryEntry& entry);

// Builds the const section's contents: keeps the fixed points and stores each distinct
// text once (all DLL commands share one "wininet.dll").
class ConstPool {
public:
    ConstPool();                               // lays out "1.0", the empty array literal and the empty text
    uint32_t add_text(std::string_view text);  // returns the offset; reuses equal texts
    uint32_t add_bytes(std::span<const uint8_t> bytes, uint32_t alignment = 1);
    uint32_t size() const { return static_cast<uint32_t>(data_.size()); }
    const Bytes& data() const { return data_; }

private:
    Bytes data_;
};

}  // namespace qx
