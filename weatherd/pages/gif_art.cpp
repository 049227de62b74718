#include "weatherd/pages/gif_art.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "weatherd/weather/wmo_weather.h"

namespace weatherd {

namespace {

enum Color : uint8_t {
    kClear = 0,
    kSun,
    kOrange,
    kCloud,
    kDarkCloud,
    kRain,
    kSnow,
    kOutline,
    kMoon,
    kFogGrey,
    kHazeBrown,
    kGreen,
    kRed,
    kPurple,
    kTeal,
    kWhite,
};

const uint8_t kPalette[16][3] = {
    {255, 255, 255}, {255, 200, 40}, {240, 140, 20},  {222, 228, 238}, {140, 150, 165}, {40, 120, 220},
    {110, 175, 240}, {90, 100, 115}, {245, 225, 140}, {165, 165, 170}, {170, 130, 80},  {60, 170, 90},
    {220, 70, 60},   {140, 90, 200}, {30, 160, 170},  {255, 255, 255},
};

// LZW codes are written as literals only, with a clear code before the table would grow
// past 5-bit codes; the files are a few hundred bytes, so compression is not worth having.
class LzwWriter {
public:
    void literal(uint8_t value)
    {
        if (since_clear_ == kLiteralsPerClear) {
            write_code(kClearCode);
            since_clear_ = 0;
        }
        write_code(value);
        ++since_clear_;
    }
    std::string finish()
    {
        write_code(kEndCode);
        if (bit_count_ > 0)
            bytes_.push_back(static_cast<char>(bits_ & 0xff));
        return bytes_;
    }
    void start_stream() { write_code(kClearCode); }

private:
    static constexpr int kCodeBits = 5;
    static constexpr uint32_t kClearCode = 16;
    static constexpr uint32_t kEndCode = 17;
    static constexpr int kLiteralsPerClear = 14;

    void write_code(uint32_t code)
    {
        bits_ |= code << bit_count_;
        bit_count_ += kCodeBits;
        while (bit_count_ >= 8) {
            bytes_.push_back(static_cast<char>(bits_ & 0xff));
            bits_ >>= 8;
            bit_count_ -= 8;
        }
    }

    std::string bytes_;
    uint32_t bits_ = 0;
    int bit_count_ = 0;
    int since_clear_ = 0;
};

void put_word(std::string& out, int value)
{
    out.push_back(static_cast<char>(value & 0xff));
    out.push_back(static_cast<char>((value >> 8) & 0xff));
}

void draw_sun(Canvas& c, double cx, double cy, double r)
{
    for (int i = 0; i < 8; ++i) {
        double a = i * 3.14159265 / 4;
        c.draw_line(static_cast<int>(std::lround(cx + std::cos(a) * (r + 1))),
                    static_cast<int>(std::lround(cy + std::sin(a) * (r + 1))),
                    static_cast<int>(std::lround(cx + std::cos(a) * (r + 2.6))),
                    static_cast<int>(std::lround(cy + std::sin(a) * (r + 2.6))), kOrange);
    }
    c.fill_disc(cx, cy, r, kSun);
}

void draw_moon(Canvas& c, double cx, double cy, double r)
{
    c.fill_disc(cx, cy, r, kMoon);
    c.fill_disc(cx + r * 0.6, cy - r * 0.45, r * 0.8, kClear);
}

void sky_body(Canvas& c, bool night, double cx, double cy, double r)
{
    if (night)
        draw_moon(c, cx, cy, r);
    else
        draw_sun(c, cx, cy, r);
}

void draw_cloud(Canvas& c, int left, int top, uint8_t color)
{
    c.fill_disc(left + 5, top + 6, 4, color);
    c.fill_disc(left + 11, top + 4, 5, color);
    c.fill_disc(left + 17, top + 6, 4, color);
    c.fill_box(left + 2, top + 6, left + 20, top + 10, color);
}

void draw_drops(Canvas& c, int count, int top)
{
    int spacing = count > 1 ? 12 / (count - 1) : 0;
    for (int i = 0; i < count; ++i) {
        int x = count > 1 ? 8 + i * spacing : 14;
        c.draw_line(x + 1, top, x, top + 3, kRain);
    }
}

void draw_flakes(Canvas& c, int count, int top)
{
    for (int i = 0; i < count; ++i) {
        int x = 8 + i * 6, y = top + 2 + (i % 2);
        c.draw_line(x - 1, y, x + 1, y, kSnow);
        c.draw_line(x, y - 1, x, y + 1, kSnow);
    }
}

void draw_thunder_cloud(Canvas& c)
{
    draw_cloud(c, 4, 1, kDarkCloud);
    c.draw_line(15, 12, 12, 15, kSun);
    c.draw_line(12, 15, 16, 15, kSun);
    c.draw_line(16, 15, 13, 19, kSun);
}

Canvas weather_icon(int icon, bool night)
{
    Canvas c(29, 20);
    switch (icon) {
    case 0: sky_body(c, night, 14, 10, 5); break;
    case 1:
        sky_body(c, night, 9, 7, 4);
        draw_cloud(c, 5, 6, kCloud);
        draw_cloud(c, 6, 7, kCloud);
        break;
    case 2:
        draw_cloud(c, 2, 2, kCloud);
        draw_cloud(c, 5, 6, kDarkCloud);
        break;
    case 3:
        sky_body(c, night, 7, 5, 3);
        draw_cloud(c, 5, 2, kDarkCloud);
        draw_drops(c, 2, 15);
        break;
    case 4:
        draw_thunder_cloud(c);
        draw_drops(c, 2, 14);
        break;
    case 5:  // with hail
        draw_thunder_cloud(c);
        c.fill_disc(8, 16, 1.5, kSnow);
        c.fill_disc(21, 16, 1.5, kSnow);
        break;
    case 7:
    case 8:
    case 9:
        draw_cloud(c, 4, 1, icon == 7 ? kDarkCloud : kOutline);
        draw_drops(c, icon - 5, 14);
        break;
    case 13:
        sky_body(c, night, 7, 5, 3);
        draw_cloud(c, 5, 2, kCloud);
        draw_flakes(c, 2, 14);
        break;
    case 14:
    case 15:
    case 16:
        draw_cloud(c, 4, 1, icon == 16 ? kDarkCloud : kCloud);
        draw_flakes(c, icon - 12, 14);
        break;
    case 19:  // freezing rain: rain and ice together
        draw_cloud(c, 4, 1, kDarkCloud);
        draw_drops(c, 2, 14);
        c.draw_line(13, 17, 15, 17, kSnow);
        c.draw_line(14, 16, 14, 18, kSnow);
        break;
    case 18:
        for (int row = 0; row < 4; ++row)
            c.draw_line(4 + (row % 2) * 3, 4 + row * 4, 24 - (row % 2) * 3, 4 + row * 4, kFogGrey);
        break;
    default:  // haze
        sky_body(c, night, 14, 9, 4);
        for (int y = 3; y < 19; y += 4)
            for (int x = 3 + (y % 8 == 3 ? 2 : 0); x < 27; x += 4)
                c.set_pixel(x, y, kHazeBrown);
        break;
    }
    return c;
}

Canvas living_badge(const std::string& key)
{
    Canvas c(22, 22);
    uint8_t ground = key == "chuanyi"     ? kPurple
                     : key == "ziwaixian" ? kOrange
                     : key == "xiche"     ? kTeal
                     : key == "ganmao"    ? kRed
                     : key == "liangshai" ? kSun
                     : key == "lvyou"     ? kRain
                     : key == "kongqi"    ? kTeal
                                          : kGreen;
    c.fill_disc(10.5, 10.5, 10.5, ground);
    if (key == "chuanyi") {
        c.fill_box(8, 8, 13, 16, kWhite);
        c.draw_line(5, 10, 8, 7, kWhite);
        c.draw_line(16, 10, 13, 7, kWhite);
    } else if (key == "ziwaixian") {
        c.fill_disc(10.5, 10.5, 3, kWhite);
        for (int i = 0; i < 8; ++i) {
            double a = i * 3.14159265 / 4;
            c.set_pixel(static_cast<int>(std::lround(10.5 + std::cos(a) * 6)),
                        static_cast<int>(std::lround(10.5 + std::sin(a) * 6)), kWhite);
        }
    } else if (key == "xiche") {
        c.fill_box(4, 10, 17, 14, kWhite);
        c.fill_box(7, 7, 14, 10, kWhite);
        c.fill_disc(7, 15, 1.5, kOutline);
        c.fill_disc(14, 15, 1.5, kOutline);
    } else if (key == "yundong") {
        c.fill_disc(12, 5, 2, kWhite);
        c.draw_line(11, 8, 9, 13, kWhite);
        c.draw_line(9, 13, 6, 17, kWhite);
        c.draw_line(9, 13, 13, 17, kWhite);
        c.draw_line(7, 9, 14, 10, kWhite);
    } else if (key == "ganmao") {
        c.fill_box(9, 5, 12, 16, kWhite);
        c.fill_box(5, 9, 16, 12, kWhite);
    } else if (key == "liangshai") {
        c.draw_line(4, 7, 17, 7, kOutline);
        c.fill_box(6, 8, 9, 14, kWhite);
        c.fill_box(12, 8, 15, 12, kWhite);
    } else if (key == "lvyou") {
        c.draw_line(4, 16, 10, 6, kWhite);
        c.draw_line(10, 6, 17, 16, kWhite);
        c.draw_line(4, 16, 17, 16, kWhite);
    } else if (key == "kongqi") {  // air quality: three strokes of moving air
        for (int row = 0; row < 3; ++row) {
            int y = 6 + row * 4;
            c.draw_line(5, y + 1, 8, y, kWhite);
            c.draw_line(8, y, 12, y + 1, kWhite);
            c.draw_line(12, y + 1, 16, y, kWhite);
        }
    } else {  // comfort: a smile
        c.fill_disc(7.5, 8, 1.2, kWhite);
        c.fill_disc(13.5, 8, 1.2, kWhite);
        c.draw_line(6, 13, 8, 15, kWhite);
        c.draw_line(8, 15, 13, 15, kWhite);
        c.draw_line(13, 15, 15, 13, kWhite);
    }
    return c;
}

Canvas draw_logo()
{
    Canvas c(40, 28);
    draw_sun(c, 13, 10, 6);
    draw_cloud(c, 12, 12, kCloud);
    draw_cloud(c, 13, 13, kRain);
    return c;
}

}  // namespace

void Canvas::set_pixel(int x, int y, uint8_t color)
{
    if (x >= 0 && y >= 0 && x < width_ && y < height_)
        pixels_[static_cast<size_t>(y * width_ + x)] = color;
}

void Canvas::fill_disc(double cx, double cy, double r, uint8_t color)
{
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                set_pixel(x, y, color);
}

void Canvas::draw_line(int x0, int y0, int x1, int y1, uint8_t color)
{
    int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        set_pixel(x0, y0, color);
        if (x0 == x1 && y0 == y1)
            break;
        int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

void Canvas::fill_box(int x0, int y0, int x1, int y1, uint8_t color)
{
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            set_pixel(x, y, color);
}

std::string encode_gif(const Canvas& canvas)
{
    std::string out = "GIF89a";
    put_word(out, canvas.width());
    put_word(out, canvas.height());
    out += "\xB3";     // global colour table of 16 entries, 8-bit colour resolution
    out.push_back(0);  // background index
    out.push_back(0);  // no aspect ratio
    for (const auto& rgb : kPalette)
        out.append(reinterpret_cast<const char*>(rgb), 3);
    out += std::string("\x21\xF9\x04\x01\x00\x00\x00\x00", 8);  // index 0 is transparent
    out.push_back(0x2C);
    put_word(out, 0);
    put_word(out, 0);
    put_word(out, canvas.width());
    put_word(out, canvas.height());
    out.push_back(0);  // no local table, not interlaced
    out.push_back(4);  // LZW minimum code size for 16 colours

    LzwWriter lzw;
    lzw.start_stream();
    for (int y = 0; y < canvas.height(); ++y)
        for (int x = 0; x < canvas.width(); ++x)
            lzw.literal(canvas.pixel_at(x, y));
    std::string data = lzw.finish();
    for (size_t at = 0; at < data.size(); at += 255) {
        size_t n = std::min<size_t>(255, data.size() - at);
        out.push_back(static_cast<char>(n));
        out.append(data, at, n);
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

std::string weather_icon_path(int icon, bool night)
{
    char name[64];
    std::snprintf(name, sizeof name, "/m2/i/icon_weather/29x20/%c%02d.gif", night ? 'n' : 'd', icon);
    return name;
}

std::string living_icon_path(const char* key) { return std::string("/m2/i/living/") + key + ".gif"; }

std::map<std::string, std::string> draw_all_images()
{
    std::map<std::string, std::string> images;
    for (int icon : all_weather_icons()) {
        images[weather_icon_path(icon, false)] = encode_gif(weather_icon(icon, false));
        images[weather_icon_path(icon, true)] = encode_gif(weather_icon(icon, true));
    }
    for (const char* key :
         {"chuanyi", "ziwaixian", "xiche", "yundong", "ganmao", "liangshai", "lvyou", "shushidu", "kongqi"})
        images[living_icon_path(key)] = encode_gif(living_badge(key));
    images["/m2/i/public/logo.gif"] = encode_gif(draw_logo());
    return images;
}

}  // namespace weatherd
