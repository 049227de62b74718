#include "viewer/icon_art.h"

#include <gtest/gtest.h>

namespace {

using namespace nimbra;

uint16_t u16_at(const qx::Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t u32_at(const qx::Bytes& b, size_t at) { return qx::load_u32(b.data() + at); }

constexpr size_t kBitmap = kIconDirSize + kIconEntrySize;
constexpr size_t kPalette = kBitmap + kBitmapHeaderSize;
constexpr size_t kXor = kPalette + kPaletteSize;
constexpr size_t kAnd = kXor + kXorSize;

// Rows are stored bottom-up; x, y count from the top left.
bool transparent(const qx::Bytes& icon, int x, int y)
{
    size_t row = kAnd + static_cast<size_t>(kIconSize - 1 - y) * kAndRowSize;
    return icon[row + x / 8] & (0x80 >> (x % 8));
}

struct Colour {
    int r, g, b;
};

Colour colour_at(const qx::Bytes& icon, int x, int y)
{
    uint8_t index = icon[kXor + static_cast<size_t>(kIconSize - 1 - y) * kIconSize + x];
    const uint8_t* entry = icon.data() + kPalette + index * 4;
    return {entry[2], entry[1], entry[0]};
}

TEST(WindowIcon, HeadersDescribeOne48PixelImageWith256Colours)
{
    qx::Bytes icon = draw_window_icon();
    ASSERT_EQ(icon.size(), 3774u);
    // ICONDIR
    EXPECT_EQ(u16_at(icon, 0), 0);
    EXPECT_EQ(u16_at(icon, 2), 1);
    EXPECT_EQ(u16_at(icon, 4), 1);
    // ICONDIRENTRY
    EXPECT_EQ(icon[6], 48);
    EXPECT_EQ(icon[7], 48);
    EXPECT_EQ(icon[8], 0);
    EXPECT_EQ(icon[9], 0);
    EXPECT_EQ(u16_at(icon, 10), 1);
    EXPECT_EQ(u16_at(icon, 12), 8);
    EXPECT_EQ(u32_at(icon, 14), 3752u);
    EXPECT_EQ(u32_at(icon, 18), 22u);
    // BITMAPINFOHEADER: the height counts colour bitmap and mask together.
    EXPECT_EQ(u32_at(icon, kBitmap + 0), 40u);
    EXPECT_EQ(u32_at(icon, kBitmap + 4), 48u);
    EXPECT_EQ(u32_at(icon, kBitmap + 8), 96u);
    EXPECT_EQ(u16_at(icon, kBitmap + 12), 1);
    EXPECT_EQ(u16_at(icon, kBitmap + 14), 8);
    EXPECT_EQ(u32_at(icon, kBitmap + 16), 0u);
    uint32_t image_size = u32_at(icon, kBitmap + 20);
    EXPECT_TRUE(image_size == 0 || image_size == kXorSize + kAndSize) << image_size;
    for (size_t i = 0; i < 256; ++i)
        EXPECT_EQ(icon[kPalette + i * 4 + 3], 0) << "palette entry " << i;
}

TEST(WindowIcon, MaskIsConsistentWithThePicture)
{
    qx::Bytes icon = draw_window_icon();
    ASSERT_EQ(icon.size(), kIconFileSize);
    for (auto [x, y] : {std::pair{0, 0}, {47, 0}, {0, 47}, {47, 47}})
        EXPECT_TRUE(transparent(icon, x, y)) << x << "," << y;
    // A transparent pixel must be colour 0 (black): under a set mask bit any other colour
    // inverts the screen behind it instead of letting it show through.
    int opaque = 0;
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            if (transparent(icon, x, y)) {
                Colour c = colour_at(icon, x, y);
                EXPECT_TRUE(c.r == 0 && c.g == 0 && c.b == 0) << x << "," << y;
            } else {
                ++opaque;
            }
        }
    }
    EXPECT_GT(opaque, 48 * 48 / 4);
    EXPECT_LT(opaque, 48 * 48 * 3 / 4);
    // The mask's padding bytes carry no pixels.
    for (int row = 0; row < kIconSize; ++row) {
        for (size_t pad = 6; pad < kAndRowSize; ++pad)
            EXPECT_EQ(icon[kAnd + row * kAndRowSize + pad], 0) << "row " << row;
    }
}

TEST(WindowIcon, ShowsAYellowSunAtUpperRightAndAPaleCloudAtLowerLeft)
{
    qx::Bytes icon = draw_window_icon();
    ASSERT_EQ(icon.size(), kIconFileSize);
    Colour sun = colour_at(icon, 32, 14);
    EXPECT_FALSE(transparent(icon, 32, 14));
    EXPECT_GT(sun.r, 200);
    EXPECT_GT(sun.g, 150);
    EXPECT_LT(sun.b, 140);
    Colour cloud = colour_at(icon, 16, 34);
    EXPECT_FALSE(transparent(icon, 16, 34));
    EXPECT_GT(cloud.r, 200);
    EXPECT_GT(cloud.g, 200);
    EXPECT_GT(cloud.b, 200);
}

}  // namespace
