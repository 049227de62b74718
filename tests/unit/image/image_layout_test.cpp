// The image header, manifest, DLL table and section chain: written at the offsets the
// format fixes (checked on the raw bytes), read back equal, and rejected cleanly when
// damaged.
#include "image/image_layout.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qx;

namespace {

const char* const kDllFunctions[] = {
    "InternetOpenA",    "InternetConnectA", "HttpOpenRequestA",    "HttpSendRequestA",
    "InternetReadFile", "HttpQueryInfoA",   "InternetCloseHandle", "InternetSetCookieA",
};

std::vector<LibraryEntry> test_manifest()
{
    return {
        {"corert", "0123456789abcdef0123456789ABCDEF", "5", "0", "kernel"},
        {"WebPane", "11111111111111111111111111111111", "2", "0", "browser"},
        {"xtool", "22222222222222222222222222222222", "3", "0", "tools"},
    };
}

// A small image with every kind of section: const (with the DLL names), form, help,
// code (with relocations), var, and a last section that carries more bytes than its
// stored-size field says.
Image test_image()
{
    Image image;
    ConstPool pool;
    pool.add_text("some routine text");
    for (const char* function : kDllFunctions) {
        uint32_t library = pool.add_text("wininet.dll");
        image.dll_commands.push_back({library, pool.add_text(function)});
    }
    image.manifest = test_manifest();
    image.entry_offset = 3;

    Section code = make_data_section("code", Bytes{0x90, 0x90, 0x90, 0xc3, 0xcc, 0xcc, 0xcc, 0xcc});
    code.kind = kCodeSection;
    code.relocations = {(4u << 3) | 1, (0u << 3) | 0, (2u << 3) | 3};

    Section marks = make_data_section("@reloc1", Bytes(20, 0));
    marks.stored_size = 16;

    image.sections.push_back(make_data_section("const", pool.data()));
    image.sections.push_back(make_data_section("form", Bytes{1, 2, 3, 4, 5}));
    image.sections.push_back(make_data_section("help", Bytes(52, 0)));
    image.sections.push_back(code);
    image.sections.push_back(make_zero_filled_section("var", 16));
    image.sections.push_back(marks);
    return image;
}

uint32_t word_at(const Bytes& b, size_t offset) { return load_u32(b.data() + offset); }

}  // namespace

TEST(ConstPool, KeepsTheFixedPointsAndSharesEqualTexts)
{
    ConstPool pool;
    EXPECT_STREQ(reinterpret_cast<const char*>(pool.data().data()), "1.0");
    EXPECT_EQ(word_at(pool.data(), kConstEmptyArray), 1u);      // one dimension
    EXPECT_EQ(word_at(pool.data(), kConstEmptyArray + 4), 0u);  // of size 0
    EXPECT_EQ(pool.data()[kConstEmptyText], 0);
    EXPECT_EQ(pool.add_text(""), kConstEmptyText);
    EXPECT_EQ(pool.add_text("1.0"), kConstVersionText);

    uint32_t first = pool.add_text("wininet.dll");
    EXPECT_GT(first, kConstEmptyText);
    EXPECT_EQ(pool.add_text("wininet.dll"), first);
    // A tail of a stored text is not shared: it would not start a text of its own.
    uint32_t tail = pool.add_text("net.dll");
    EXPECT_NE(tail, first + 4);
    EXPECT_STREQ(reinterpret_cast<const char*>(pool.data().data() + tail), "net.dll");
}

TEST(ImageLayout, HeaderFieldsSitAtTheirFixedOffsets)
{
    Image image = test_image();
    ImageLayoutInfo info;
    Bytes b = write_image(image, &info);
    const uint32_t n = 8;

    EXPECT_EQ(0, std::memcmp(b.data(), "QX\0\0", 4));
    for (size_t at = 4; at < 0x24; at += 4)
        EXPECT_EQ(word_at(b, at), 0u) << "zero word at " << at;
    EXPECT_EQ(word_at(b, 0x28), 1u);
    EXPECT_EQ(word_at(b, 0x2c), 3u);
    EXPECT_EQ(word_at(b, 0x30), 0u);
    EXPECT_EQ(word_at(b, 0x34), 79285u);
    EXPECT_EQ(word_at(b, 0x38), n);
    EXPECT_EQ(word_at(b, 0x3c), 3u);

    const char* names[] = {"const", "form", "help", "code", "var"};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(word_at(b, 0x40 + 4 * i), info.sections[i].header_offset) << names[i];
    EXPECT_EQ(word_at(b, 0x40), word_at(b, 0x24)) << "const is the first section";
    EXPECT_EQ(word_at(b, 0x54), word_at(b, 0x40)) << "the DLL names live in const";

    // DLL name offsets count from the const data; all eight share one "wininet.dll".
    uint32_t const_data = info.sections[0].data_offset;
    uint32_t shared = word_at(b, 0x58);
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(word_at(b, 0x58 + 4 * i), shared);
        const char* function = reinterpret_cast<const char*>(b.data() + const_data + word_at(b, 0x58 + 4 * (n + i)));
        EXPECT_STREQ(function, kDllFunctions[i]);
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + const_data + shared), "wininet.dll");

    // The manifest follows the DLL table; its empty entry is followed by the first header.
    EXPECT_EQ(info.manifest_offset, 0x58 + 8 * n);
    std::string manifest(reinterpret_cast<const char*>(b.data() + info.manifest_offset),
                         word_at(b, 0x24) - info.manifest_offset);
    using namespace std::string_literals;
    EXPECT_EQ(manifest, "corert\r0123456789abcdef0123456789ABCDEF\r5\r0\rkernel\0"s
                        "WebPane\r11111111111111111111111111111111\r2\r0\rbrowser\0"s
                        "xtool\r22222222222222222222222222222222\r3\r0\rtools\0"s
                        "\0"s);
}

TEST(ImageLayout, SectionChainIsLaidOutBackToBack)
{
    Image image = test_image();
    ImageLayoutInfo info;
    Bytes b = write_image(image, &info);

    struct Expect {
        const char* name;
        uint32_t kind, header_size, memory_size, stored_size;
    } expected[] = {
        {"const", 1, 56, static_cast<uint32_t>(image.sections[0].data.size()),
         static_cast<uint32_t>(image.sections[0].data.size())},
        {"form", 1, 56, 5, 5},
        {"help", 1, 56, 52, 52},
        {"code", 5, 56 + 3 * 4, 8, 8},
        {"var", 0x13, 56, 16, 0},
        {"@reloc1", 1, 56, 20, 16},
    };
    ASSERT_EQ(info.sections.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Expect& e = expected[i];
        size_t h = info.sections[i].header_offset;
        SCOPED_TRACE(e.name);
        EXPECT_EQ(word_at(b, h + 0x00), e.header_size);
        EXPECT_EQ(word_at(b, h + 0x08), e.kind);
        char name[24] = {};
        std::memcpy(name, e.name, std::strlen(e.name));
        EXPECT_EQ(0, std::memcmp(b.data() + h + 0x0c, name, 24)) << "NUL-padded name";
        EXPECT_EQ(word_at(b, h + 0x24), e.memory_size);
        EXPECT_EQ(word_at(b, h + 0x28), e.stored_size);
        EXPECT_EQ(word_at(b, h + 0x34), 0u);

        bool stores = std::string(e.name) != "var";
        uint32_t data = word_at(b, h + 0x2c);
        EXPECT_EQ(data, stores ? h + e.header_size : kNoOffset);
        uint32_t next = word_at(b, h + 0x04);
        if (i + 1 == std::size(expected)) {
            EXPECT_EQ(next, kNoOffset);
            EXPECT_EQ(b.size(), data + 20u) << "the last section's extra bytes are written";
        } else {
            EXPECT_EQ(next, (stores ? data + e.stored_size : h + e.header_size));
            EXPECT_EQ(next, info.sections[i + 1].header_offset);
        }
    }
    // The code header carries its relocation table right after the 56 fixed bytes.
    size_t code = info.sections[3].header_offset;
    EXPECT_EQ(word_at(b, code + 0x30), 3u);
    EXPECT_EQ(word_at(b, code + 56), (4u << 3) | 1);
    EXPECT_EQ(word_at(b, code + 64), (2u << 3) | 3);
}

TEST(ImageLayout, ReadsBackWhatItWrote)
{
    Image image = test_image();
    Bytes b = write_image(image);
    Image back = read_image(b);
    EXPECT_EQ(back, image);
    EXPECT_EQ(back.const_text(back.dll_commands[6].function_name), "InternetCloseHandle");
    EXPECT_EQ(write_image(back), b);
}

TEST(ImageLayout, WriterRefusesWhatItCannotStore)
{
    Image missing_var = test_image();
    missing_var.sections.erase(missing_var.sections.begin() + 4);
    EXPECT_THROW(write_image(missing_var), std::invalid_argument);

    Image long_name = test_image();
    long_name.sections[1].name = std::string(24, 'x');
    EXPECT_THROW(write_image(long_name), std::invalid_argument);

    Image short_field = test_image();
    short_field.sections[1].stored_size = 2;  // not the last section: the chain would break
    EXPECT_THROW(write_image(short_field), std::invalid_argument);
}

// ---- damaged images ----

namespace {

struct Damage {
    const char* what;
    void (*apply)(Bytes& b, const ImageLayoutInfo& info);
    const char* field;  // expected in the message
};

void put(Bytes& b, size_t at, uint32_t v) { store_u32(b.data() + at, v); }

size_t header_of(const ImageLayoutInfo& info, const char* name)
{
    for (const SectionPlacement& p : info.sections) {
        if (p.name == name)
            return p.header_offset;
    }
    return 0;
}

const Damage kDamages[] = {
    {"magic", [](Bytes& b, const ImageLayoutInfo&) { b[1] = 'Y'; }, "magic"},
    {"zero word", [](Bytes& b, const ImageLayoutInfo&) { b[9] = 1; }, "header zero words"},
    {"DLL count overruns", [](Bytes& b, const ImageLayoutInfo&) { put(b, 0x38, 0x10000000); }, "DLL command count"},
    {"chain loops back",
     [](Bytes& b, const ImageLayoutInfo& i) { put(b, header_of(i, "help") + 4, header_of(i, "const")); },
     "next offset"},
    {"chain points outside", [](Bytes& b, const ImageLayoutInfo& i) { put(b, header_of(i, "form") + 4, 0x7fffff00); },
     "next offset"},
    {"first section points to itself", [](Bytes& b, const ImageLayoutInfo&) { put(b, 0x24, 0x10); },
     "first section offset"},
    {"stored bytes overrun", [](Bytes& b, const ImageLayoutInfo& i) { put(b, header_of(i, "@reloc1") + 0x28, 5000); },
     "stored size"},
    {"var data offset followed", [](Bytes& b, const ImageLayoutInfo& i) { put(b, header_of(i, "var") + 0x28, 4); },
     "stored size"},
    {"header size lies about relocations",
     [](Bytes& b, const ImageLayoutInfo& i) { put(b, header_of(i, "code") + 0x30, 0x40000000); }, "header size"},
    {"name without NUL",
     [](Bytes& b, const ImageLayoutInfo& i) { std::memset(b.data() + header_of(i, "form") + 0x0c, 'a', 24); },
     "section name"},
    {"bytes after the name's NUL", [](Bytes& b, const ImageLayoutInfo& i) { b[header_of(i, "var") + 0x0c + 14] = '2'; },
     "section name"},
    {"bytes after a last section that stores nothing",
     [](Bytes& b, const ImageLayoutInfo& i) { put(b, header_of(i, "var") + 4, kNoOffset); }, "data offset"},
    {"form offset names help", [](Bytes& b, const ImageLayoutInfo& i) { put(b, 0x44, header_of(i, "help")); },
     "form section offset"},
    {"DLL name outside const", [](Bytes& b, const ImageLayoutInfo&) { put(b, 0x58, 0x100000); },
     "DLL library-name offset"},
    {"entry outside code", [](Bytes& b, const ImageLayoutInfo&) { put(b, 0x3c, 8); }, "entry routine offset"},
    {"manifest entry with four fields",
     [](Bytes& b, const ImageLayoutInfo& i) {
         // "corert\r<id>\r5\r0\rkernel": turn the last CR into a blank.
         b[i.manifest_offset + 6 + 1 + 32 + 1 + 1 + 1 + 1] = ' ';
     },
     "manifest entry"},
};

}  // namespace

TEST(ImageLayout, RejectsDamagedImagesNamingTheField)
{
    ImageLayoutInfo info;
    const Bytes good = write_image(test_image(), &info);
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.what);
        Bytes b = good;
        d.apply(b, info);
        try {
            read_image(b);
            ADD_FAILURE() << "accepted";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(d.field), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line";
        }
    }
}

TEST(ImageLayout, EveryTruncationIsRejected)
{
    // Cutting the image anywhere before its last section's stored bytes must fail
    // cleanly (the sanitizer build proves no read goes past the cut).
    ImageLayoutInfo info;
    const Bytes good = write_image(test_image(), &info);
    size_t last_data = info.sections.back().data_offset;
    for (size_t cut = 0; cut < last_data + 16; ++cut) {
        Bytes b(good.begin(), good.begin() + cut);
        EXPECT_THROW(read_image(b), FormatError) << "cut at " << cut;
    }
}

TEST(ImageLayout, ManifestWithoutEmptyEntryIsRejected)
{
    Image image = test_image();
    Bytes b = write_image(image);
    // An image that ends inside the manifest: no empty entry anywhere.
    size_t manifest = 0x58 + 8 * 8;
    Bytes cut(b.begin(), b.begin() + manifest + 30);
    try {
        read_image(cut);
        FAIL() << "accepted";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.field(), "manifest entry");
    }
}
