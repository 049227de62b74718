// The images the pages use, drawn at startup: weather icons and living-index badges.
// Drawn rather than stored so the repository holds no art of anyone else's.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace weatherd {

// A picture of palette indexes; index 0 is transparent.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height), pixels_(static_cast<size_t>(width * height), 0) {}

    int width() const { return width_; }
    int height() const { return height_; }
    uint8_t pixel_at(int x, int y) const { return pixels_[static_cast<size_t>(y * width_ + x)]; }

    void set_pixel(int x, int y, uint8_t color);
    void fill_disc(double cx, double cy, double r, uint8_t color);
    void draw_line(int x0, int y0, int x1, int y1, uint8_t color);
    void fill_box(int x0, int y0, int x1, int y1, uint8_t color);  // inclusive corners

private:
    int width_;
    int height_;
    std::vector<uint8_t> pixels_;
};

// A GIF89a file of the canvas with the service's 16-colour palette, index 0 transparent.
std::string encode_gif(const Canvas& canvas);

// Every image path the pages refer to ("/m2/i/..."), with its file bytes.
std::map<std::string, std::string> draw_all_images();

std::string weather_icon_path(int icon, bool night);  // "/m2/i/icon_weather/29x20/d01.gif"
std::string living_icon_path(const char* key);        // "/m2/i/living/chuanyi.gif"

}  // namespace weatherd
