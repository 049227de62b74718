#include "image/byte_io.h"

#include <cstdio>
#include <cstring>

namespace qx {

std::string hex32(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

static std::string describe(size_t offset, std::string_view field, const std::string& problem)
{
    return "offset " + hex32(static_cast<uint32_t>(offset)) + ": " + std::string(field) + ": " + problem;
}

FormatError::FormatError(size_t offset, std::string field, const std::string& problem)
    : std::runtime_error(describe(offset, field, problem)), offset_(offset), field_(std::move(field))
{
}

uint32_t load_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store_u32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t checked_u32(size_t value, std::string_view what)
{
    if (value > 0xffffffffu)
        throw std::length_error(std::string(what) + " does not fit in 32 bits");
    return static_cast<uint32_t>(value);
}

// ---- reading ----

void ByteReader::fail(std::string_view field, const std::string& problem) const { fail_at(pos_, field, problem); }

void ByteReader::fail_at(size_t pos, std::string_view field, const std::string& problem) const
{
    throw FormatError(origin_ + pos, std::string(field), problem);
}

void ByteReader::need(size_t count, std::string_view field) const
{
    if (count > remaining())
        fail(field, "needs " + std::to_string(count) + " bytes, only " + std::to_string(remaining()) + " left");
}

void ByteReader::seek(size_t pos, std::string_view field)
{
    if (pos > data_.size())
        fail(field, "offset " + hex32(static_cast<uint32_t>(origin_ + pos)) + " lies outside the data");
    pos_ = pos;
}

uint16_t ByteReader::u16(std::string_view field)
{
    need(2, field);
    uint16_t v = uint16_t(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
}

uint32_t ByteReader::u32(std::string_view field)
{
    need(4, field);
    uint32_t v = load_u32(&data_[pos_]);
    pos_ += 4;
    return v;
}

std::span<const uint8_t> ByteReader::bytes(size_t count, std::string_view field)
{
    need(count, field);
    auto piece = data_.subspan(pos_, count);
    pos_ += count;
    return piece;
}

std::string ByteReader::nul_text(std::string_view field)
{
    const uint8_t* start = data_.data() + pos_;
    const void* nul = std::memchr(start, 0, remaining());
    if (!nul)
        fail(field, "text has no terminating zero byte");
    size_t length = static_cast<const uint8_t*>(nul) - start;
    std::string text(reinterpret_cast<const char*>(start), length);
    pos_ += length + 1;
    return text;
}

std::string ByteReader::counted_text(std::string_view field)
{
    size_t at = pos_;
    uint32_t count = u32(field);
    if (count > remaining())
        fail_at(at, field,
                "count " + std::to_string(count) + " overruns the data (" + std::to_string(remaining()) +
                    " bytes left)");
    auto b = bytes(count, field);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

Bytes ByteReader::counted_bytes(std::string_view field)
{
    std::string text = counted_text(field);
    return Bytes(text.begin(), text.end());
}

void ByteReader::zeros(size_t count, std::string_view field)
{
    size_t at = pos_;
    auto b = bytes(count, field);
    for (size_t i = 0; i < b.size(); ++i) {
        if (b[i] != 0)
            fail_at(at + i, field, "expected zero bytes");
    }
}

// ---- writing ----

void ByteWriter::u16(uint16_t v)
{
    out_.push_back(uint8_t(v));
    out_.push_back(uint8_t(v >> 8));
}

void ByteWriter::u32(uint32_t v)
{
    uint8_t b[4];
    store_u32(b, v);
    out_.insert(out_.end(), b, b + 4);
}

void ByteWriter::bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

void ByteWriter::bytes(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }

void ByteWriter::zeros(size_t count) { out_.insert(out_.end(), count, 0); }

void ByteWriter::nul_text(std::string_view s)
{
    bytes(s);
    out_.push_back(0);
}

void ByteWriter::counted_text(std::string_view s)
{
    u32(checked_u32(s.size(), "counted text"));
    bytes(s);
}

void ByteWriter::counted_bytes(std::span<const uint8_t> b)
{
    u32(checked_u32(b.size(), "counted bytes"));
    bytes(b);
}

void ByteWriter::patch_u32(size_t at, uint32_t v) { store_u32(&out_[at], v); }

}  // namespace qx
