// The picture is rendered in full colour with 4 x 4 samples a pixel, then reduced to a
// palette by median cut. The icon's mask has one bit a pixel, so the outer edge is
// decided per pixel (at half coverage); only the edges inside the picture (cloud over
// sun, outlines) get the smooth shading.
#include "viewer/icon_art.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

namespace nimbra {

namespace {

struct Rgb {
    double r = 0, g = 0, b = 0;
};

struct Rgba {
    Rgb c;
    double a = 0;
};

Rgb mix(Rgb from, Rgb to, double t)
{
    t = std::clamp(t, 0.0, 1.0);
    return {from.r + (to.r - from.r) * t, from.g + (to.g - from.g) * t, from.b + (to.b - from.b) * t};
}

// Paints `top` with coverage `alpha` over `under`.
Rgba over(Rgba under, Rgb top, double alpha)
{
    alpha = std::clamp(alpha, 0.0, 1.0);
    double a = alpha + under.a * (1 - alpha);
    if (a <= 0)
        return {};
    auto channel = [&](double t, double u) { return (t * alpha + u * under.a * (1 - alpha)) / a; };
    return {{channel(top.r, under.c.r), channel(top.g, under.c.g), channel(top.b, under.c.b)}, a};
}

constexpr double kPi = 3.14159265358979323846;

// Coordinates are pixels with y growing downwards, (0, 0) the top left corner.
constexpr double kSunX = 30.5, kSunY = 18.0, kSunRadius = 9.5;
constexpr double kRayInner = 12.6, kRayOuter = 15.6, kRayHalfWidth = 1.25;
constexpr int kRayCount = 8;

double circle_distance(double x, double y, double cx, double cy, double radius)
{
    return std::hypot(x - cx, y - cy) - radius;
}

double capsule_distance(double x, double y, double x0, double x1, double cy, double radius)
{
    double nearest = std::clamp(x, x0, x1);
    return std::hypot(x - nearest, y - cy) - radius;
}

// Signed distance to the cloud's outline, negative inside: a few puffs on a flat base.
double cloud_distance(double x, double y)
{
    double d = capsule_distance(x, y, 11.0, 34.0, 38.0, 5.5);
    d = std::min(d, circle_distance(x, y, 21.5, 30.0, 9.0));
    d = std::min(d, circle_distance(x, y, 11.5, 34.5, 6.5));
    d = std::min(d, circle_distance(x, y, 32.5, 33.5, 6.5));
    return d;
}

// Signed distance to the nearest ray: short rounded strokes around the disc.
double ray_distance(double x, double y)
{
    double best = 1e9;
    for (int k = 0; k < kRayCount; ++k) {
        double angle = k * 2 * kPi / kRayCount;
        double ux = std::cos(angle), uy = std::sin(angle);
        double along = std::clamp((x - kSunX) * ux + (y - kSunY) * uy, kRayInner, kRayOuter);
        double d = std::hypot(x - (kSunX + ux * along), y - (kSunY + uy * along)) - kRayHalfWidth;
        best = std::min(best, d);
    }
    return best;
}

const Rgb kRayColour{255, 168, 18};
const Rgb kSunEdge{232, 112, 8};
const Rgb kSunCentre{255, 236, 96};
const Rgb kSunRim{255, 176, 24};
const Rgb kCloudTop{255, 255, 255};
const Rgb kCloudBottom{198, 208, 222};
const Rgb kCloudEdge{112, 128, 152};

// Coverage of a shape from its signed distance, smoothed over about a pixel.
double coverage(double distance) { return std::clamp(0.5 - distance, 0.0, 1.0); }

Rgba sample(double x, double y)
{
    Rgba px;
    px = over(px, kRayColour, coverage(ray_distance(x, y) * 4));

    double sun = circle_distance(x, y, kSunX, kSunY, kSunRadius);
    double glow = std::hypot(x - (kSunX - 2.5), y - (kSunY - 2.5)) / (kSunRadius + 2.5);
    Rgb sun_fill = mix(kSunCentre, kSunRim, glow * glow);
    px = over(px, kSunEdge, coverage(sun * 4));
    px = over(px, sun_fill, coverage((sun + 1.2) * 4));

    double cloud = cloud_distance(x, y);
    Rgb cloud_fill = mix(kCloudTop, kCloudBottom, (y - 25.5) / 18.0);
    px = over(px, kCloudEdge, coverage(cloud * 4));
    // The outline fades into the body over a pixel and a half: a soft rim, not a line.
    px = over(px, mix(kCloudEdge, cloud_fill, 0.55), coverage((cloud + 0.8) * 4));
    px = over(px, cloud_fill, coverage((cloud + 1.6) * 2));
    return px;
}

struct Picture {
    std::array<std::array<uint8_t, 3>, kIconSize * kIconSize> colour{};
    std::array<bool, kIconSize * kIconSize> opaque{};
};

Picture render()
{
    constexpr int kSamples = 4;
    Picture picture;
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    Rgba s = sample(x + (sx + 0.5) / kSamples, y + (sy + 0.5) / kSamples);
                    r += s.c.r * s.a;
                    g += s.c.g * s.a;
                    b += s.c.b * s.a;
                    a += s.a;
                }
            }
            int i = y * kIconSize + x;
            picture.opaque[i] = a >= kSamples * kSamples / 2.0;
            if (picture.opaque[i]) {
                // Edge pixels keep the shape's own colour, not a fringe darkened by the
                // transparent part.
                picture.colour[i] = {static_cast<uint8_t>(std::lround(r / a)), static_cast<uint8_t>(std::lround(g / a)),
                                     static_cast<uint8_t>(std::lround(b / a))};
            }
        }
    }
    return picture;
}

using Colour = std::array<uint8_t, 3>;

// Median cut over the distinct colours, weighted by how often each occurs.
std::vector<Colour> make_palette(const std::map<Colour, int>& histogram, size_t max_colours)
{
    using Box = std::vector<std::pair<Colour, int>>;
    std::vector<Box> boxes{Box(histogram.begin(), histogram.end())};
    while (boxes.size() < max_colours) {
        // Split the box with the widest channel range.
        size_t widest = boxes.size();
        int widest_range = 0, widest_channel = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].size() < 2)
                continue;
            for (int ch = 0; ch < 3; ++ch) {
                auto [lo, hi] =
                    std::minmax_element(boxes[i].begin(), boxes[i].end(),
                                        [ch](const auto& p, const auto& q) { return p.first[ch] < q.first[ch]; });
                int range = hi->first[ch] - lo->first[ch];
                if (range > widest_range) {
                    widest = i, widest_range = range, widest_channel = ch;
                }
            }
        }
        if (widest == boxes.size())
            break;
        Box& box = boxes[widest];
        std::sort(box.begin(), box.end(),
                  [ch = widest_channel](const auto& p, const auto& q) { return p.first[ch] < q.first[ch]; });
        int total = 0;
        for (auto& entry : box)
            total += entry.second;
        size_t cut = 1;
        for (int seen = box[0].second; cut + 1 < box.size() && seen * 2 < total; ++cut)
            seen += box[cut].second;
        Box upper(box.begin() + static_cast<ptrdiff_t>(cut), box.end());
        box.resize(cut);
        boxes.push_back(std::move(upper));
    }
    std::vector<Colour> palette;
    for (const Box& box : boxes) {
        double sum[3] = {0, 0, 0};
        int weight = 0;
        for (auto& [colour, count] : box) {
            for (int ch = 0; ch < 3; ++ch)
                sum[ch] += colour[ch] * static_cast<double>(count);
            weight += count;
        }
        palette.push_back({static_cast<uint8_t>(std::lround(sum[0] / weight)),
                           static_cast<uint8_t>(std::lround(sum[1] / weight)),
                           static_cast<uint8_t>(std::lround(sum[2] / weight))});
    }
    return palette;
}

uint8_t nearest_index(const std::vector<Colour>& palette, const Colour& c, uint8_t first_index)
{
    size_t best = 0;
    int best_distance = 1 << 30;
    for (size_t i = 0; i < palette.size(); ++i) {
        int d = 0;
        for (int ch = 0; ch < 3; ++ch)
            d += (palette[i][ch] - c[ch]) * (palette[i][ch] - c[ch]);
        if (d < best_distance)
            best = i, best_distance = d;
    }
    return static_cast<uint8_t>(first_index + best);
}

}  // namespace

qx::Bytes draw_window_icon()
{
    const Picture picture = render();

    std::map<Colour, int> histogram;
    for (size_t i = 0; i < picture.colour.size(); ++i) {
        if (picture.opaque[i])
            ++histogram[picture.colour[i]];
    }
    // Entry 0 stays black for the transparent pixels, whose mask bit hides them.
    constexpr uint8_t kFirstColour = 1;
    const std::vector<Colour> palette = make_palette(histogram, 256 - kFirstColour);

    qx::Bytes file;
    file.reserve(kIconFileSize);
    qx::ByteWriter out(file);

    // ICONDIR: reserved, type 1 (icon), one image.
    out.u16(0);
    out.u16(1);
    out.u16(1);
    // ICONDIRENTRY
    file.push_back(kIconSize);
    file.push_back(kIconSize);
    file.push_back(0);  // colour count: 0 for 256 colours
    file.push_back(0);  // reserved
    out.u16(1);         // planes
    out.u16(8);         // bits a pixel
    out.u32(static_cast<uint32_t>(kIconImageSize));
    out.u32(static_cast<uint32_t>(kIconDirSize + kIconEntrySize));

    // BITMAPINFOHEADER; the height counts the colour bitmap and the mask.
    out.u32(kBitmapHeaderSize);
    out.i32(kIconSize);
    out.i32(kIconSize * 2);
    out.u16(1);
    out.u16(8);
    out.u32(0);  // no compression
    out.u32(static_cast<uint32_t>(kXorSize + kAndSize));
    out.u32(0);
    out.u32(0);
    out.u32(0);  // all 256 palette entries
    out.u32(0);

    for (size_t i = 0; i < 256; ++i) {
        Colour c =
            (i >= kFirstColour && i - kFirstColour < palette.size()) ? palette[i - kFirstColour] : Colour{0, 0, 0};
        file.insert(file.end(), {c[2], c[1], c[0], 0});  // BGR order, then a reserved byte
    }

    // Both bitmaps run bottom-up.
    for (int y = kIconSize - 1; y >= 0; --y) {
        for (int x = 0; x < kIconSize; ++x) {
            size_t i = static_cast<size_t>(y * kIconSize + x);
            file.push_back(picture.opaque[i] ? nearest_index(palette, picture.colour[i], kFirstColour) : 0);
        }
    }
    for (int y = kIconSize - 1; y >= 0; --y) {
        uint8_t row[kAndRowSize] = {};
        for (int x = 0; x < kIconSize; ++x) {
            if (!picture.opaque[static_cast<size_t>(y * kIconSize + x)])
                row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
        file.insert(file.end(), row, row + kAndRowSize);
    }
    return file;
}

}  // namespace nimbra
