#include "platform/gbk_codec.h"

#include <cerrno>
#include <iconv.h>

namespace nimbra::gbk {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kEuroSign = "\xE2\x82\xAC";              // U+20AC

enum class Direction { decode, encode };

const char* iconv_name(Charset charset) { return charset == Charset::gbk ? "GBK" : "GB18030"; }

// Descriptors keep shift state, so each conversion opens its own: the functions stay
// reentrant, and opening one is cheap next to the texts converted.
class Descriptor {
public:
    Descriptor(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Descriptor()
    {
        if (usable())
            iconv_close(cd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool usable() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// Writes what stands for one byte that did not convert; false when the policy refuses.
bool append_invalid(std::string& out, unsigned char byte, Direction direction, OnInvalid policy)
{
    // GB18030 has no single-byte 0x80 (and GBK may lack a converter), yet GBK texts use it
    // for the euro sign, so decoding never counts it as invalid.
    if (direction == Direction::decode && byte == 0x80) {
        out += kEuroSign;
        return true;
    }
    switch (policy) {
    case OnInvalid::refuse: return false;
    case OnInvalid::replace:
        out += direction == Direction::decode ? kReplacementCharacter : std::string_view("?");
        return true;
    case OnInvalid::escape: {
        static constexpr char kHex[] = "0123456789abcdef";
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
        return true;
    }
    }
    return false;
}

std::optional<std::string> convert(std::string_view input, Direction direction, Charset charset, OnInvalid policy)
{
    const char* code_page = iconv_name(charset);
    Descriptor cd(direction == Direction::decode ? "UTF-8" : code_page,
                  direction == Direction::decode ? code_page : "UTF-8");
    std::string output;
    output.reserve(input.size() + input.size() / 2 + 4);
    if (!cd.usable()) {
        for (unsigned char byte : input) {
            if (byte < 0x80)
                output += static_cast<char>(byte);
            else if (!append_invalid(output, byte, direction, policy))
                return std::nullopt;
        }
        return output;
    }

    char* in = const_cast<char*>(input.data());  // iconv's signature predates const
    size_t in_left = input.size();
    char buffer[1024];
    while (in_left > 0) {
        char* out = buffer;
        size_t out_left = sizeof buffer;
        size_t done = iconv(cd.get(), &in, &in_left, &out, &out_left);
        int error = errno;
        output.append(buffer, out);
        if (done != static_cast<size_t>(-1) || error == E2BIG)
            continue;
        // EILSEQ (no valid sequence starts here) or EINVAL (one is cut off by the end):
        // this byte is dealt with by the policy, and conversion resumes at the next one.
        if (!append_invalid(output, static_cast<unsigned char>(*in), direction, policy))
            return std::nullopt;
        ++in;
        --in_left;
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    return output;
}

}  // namespace

std::optional<std::string> to_utf8(std::string_view bytes, Charset charset, OnInvalid policy)
{
    return convert(bytes, Direction::decode, charset, policy);
}

std::optional<std::string> from_utf8(std::string_view utf8, Charset charset, OnInvalid policy)
{
    return convert(utf8, Direction::encode, charset, policy);
}

}  // namespace nimbra::gbk
