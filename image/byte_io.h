// Little-endian byte reading and writing for the image formats.
//
// Every reader in image/ goes through ByteReader, so that no parser can read past the
// bytes it was given: each access is checked, and a failure names the field being read
// and its offset from the start of the whole image (not of the piece being parsed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

using Bytes = std::vector<uint8_t>;

// A malformed image or section. `offset` is counted from the start of the image.
class FormatError : public std::runtime_error {
public:
    FormatError(size_t offset, std::string field, const std::string& problem);
    size_t offset() const { return offset_; }
    const std::string& field() const { return field_; }

private:
    size_t offset_;
    std::string field_;
};

class ByteReader {
public:
    // `origin` is the image offset of data[0]; it only shapes error messages.
    explicit ByteReader(std::span<const uint8_t> data, size_t origin = 0) : data_(data), origin_(origin) {}

    size_t position() const { return pos_; }
    size_t image_offset() const { return origin_ + pos_; }
    size_t remaining() const { return data_.size() - pos_; }
    bool at_end() const { return pos_ == data_.size(); }
    void seek(size_t pos, std::string_view field);

    uint16_t u16(std::string_view field);
    uint32_t u32(std::string_view field);
    int32_t i32(std::string_view field) { return static_cast<int32_t>(u32(field)); }
    std::span<const uint8_t> bytes(size_t count, std::string_view field);
    // A text ended by one zero byte; the zero is consumed but not returned.
    std::string nul_text(std::string_view field);
    // A u32 byte count followed by that many bytes.
    std::string counted_text(std::string_view field);
    Bytes counted_bytes(std::string_view field);
    // Requires `count` zero bytes.
    void zeros(size_t count, std::string_view field);

    [[noreturn]] void fail(std::string_view field, const std::string& problem) const;
    [[noreturn]] void fail_at(size_t pos, std::string_view field, const std::string& problem) const;

private:
    void need(size_t count, std::string_view field) const;

    std::span<const uint8_t> data_;
    size_t origin_;
    size_t pos_ = 0;
};

class ByteWriter {
public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    size_t size() const { return out_.size(); }
    void u16(uint16_t v);
    void u32(uint32_t v);
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(std::span<const uint8_t> b);
    void bytes(std::string_view s);
    void zeros(size_t count);
    void nul_text(std::string_view s);
    void counted_text(std::string_view s);
    void counted_bytes(std::span<const uint8_t> b);
    // Overwrites a word written earlier (sizes and offsets known only later).
    void patch_u32(size_t at, uint32_t v);

private:
    Bytes& out_;
};

uint32_t load_u32(const uint8_t* p);
void store_u32(uint8_t* p, uint32_t v);
std::string hex32(uint32_t v);

// Length of a counted-text or u32 field, checked to fit the 32-bit word that stores it.
uint32_t checked_u32(size_t value, std::string_view what);

}  // namespace qx
