#include "render.h"

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace kv {
namespace {

constexpr std::size_t kCacheBudget = 192u << 20;  // bytes of pre-rendered raw frames
constexpr int kCycle = 30;
constexpr int kJpegQuality = 85;

struct Yuv {
    std::uint8_t y, u, v;
};

Yuv fromRgb(double r, double g, double b) {
    auto c = [](double x) { return static_cast<std::uint8_t>(std::clamp(std::lround(x), 0L, 255L)); };
    return {c(0.299 * r + 0.587 * g + 0.114 * b), c(128 - 0.168736 * r - 0.331264 * g + 0.5 * b),
            c(128 + 0.5 * r - 0.418688 * g - 0.081312 * b)};
}

// 5x7 glyphs, one byte per row, bit 4 is the left column.
const std::uint8_t* glyph(char ch) {
    static const std::uint8_t digits[10][7] = {
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};
    static const std::uint8_t letters[26][7] = {
        {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11}, {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E},
        {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}, {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C},
        {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}, {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10},
        {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}, {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11},
        {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}, {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},
        {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}, {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F},
        {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}, {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11},
        {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10},
        {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}, {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11},
        {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}, {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},
        {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04},
        {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}, {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11},
        {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}};
    static const std::uint8_t dash[7] = {0, 0, 0, 0x1F, 0, 0, 0};
    static const std::uint8_t dot[7] = {0, 0, 0, 0, 0, 0x0C, 0x0C};
    static const std::uint8_t colon[7] = {0, 0x0C, 0x0C, 0, 0x0C, 0x0C, 0};
    static const std::uint8_t slash[7] = {0, 0x01, 0x02, 0x04, 0x08, 0x10, 0};
    static const std::uint8_t lpar[7] = {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02};
    static const std::uint8_t rpar[7] = {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08};
    static const std::uint8_t under[7] = {0, 0, 0, 0, 0, 0, 0x1F};
    static const std::uint8_t plus[7] = {0, 0x04, 0x04, 0x1F, 0x04, 0x04, 0};
    static const std::uint8_t blank[7] = {};
    if (ch >= '0' && ch <= '9') return digits[ch - '0'];
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    if (ch >= 'A' && ch <= 'Z') return letters[ch - 'A'];
    switch (ch) {
        case '-': return dash;
        case '.': return dot;
        case ':': return colon;
        case '/': return slash;
        case '(': return lpar;
        case ')': return rpar;
        case '_': return under;
        case '+': return plus;
        default: return blank;
    }
}

double rel(const ControlConfig& s, std::int32_t v) {
    return s.max > s.min ? double(v - s.def) / double(s.max - s.min) : 0.0;
}

}  // namespace

struct Renderer::Tj {
    tjhandle h = tjInitCompress();
    ~Tj() {
        if (h) tjDestroy(h);
    }
};

Look makeLook(const std::vector<ControlConfig>& configs, const std::map<std::uint32_t, std::int32_t>& values) {
    Look l;
    auto value = [&](std::uint32_t id, std::int32_t fallback) {
        const auto it = values.find(id);
        return it == values.end() ? fallback : it->second;
    };
    for (const auto& s : configs) {
        const std::int32_t v = value(s.info->id, s.def);
        const double r = rel(s, v);
        if (s.info->masterId && value(s.info->masterId, s.info->masterManual) != s.info->masterManual)
            continue;  // the automatic mode owns this one
        switch (s.info->id) {
            case V4L2_CID_BRIGHTNESS: l.brightness = r; break;
            case V4L2_CID_CONTRAST: l.contrast = std::max(0.0, 1 + 2 * r); break;
            case V4L2_CID_SATURATION: l.saturation = std::max(0.0, 1 + 2 * r); break;
            case V4L2_CID_HUE: l.hueDeg = r * 360; break;
            case V4L2_CID_GAMMA: l.gammaExp = std::pow(3.0, -2 * r); break;
            case V4L2_CID_GAIN: l.gain *= std::max(0.05, 1 + 2 * r); break;
            case V4L2_CID_EXPOSURE_ABSOLUTE:
                if (s.def > 0) l.gain *= std::clamp(double(v) / s.def, 0.1, 4.0);
                break;
            case V4L2_CID_SHARPNESS: l.sharpness = 2 * r; break;
            case V4L2_CID_BACKLIGHT_COMPENSATION:
                l.backlight = s.max > s.min ? double(v - s.min) / (s.max - s.min) : 0;
                break;
            case V4L2_CID_WHITE_BALANCE_TEMPERATURE: l.tint = r * 60; break;
            case V4L2_CID_COLORFX: l.mono = v == V4L2_COLORFX_BW; break;
            default: break;
        }
    }
    return l;
}

std::uint32_t bytesPerLine(std::uint32_t fourcc, std::uint32_t width) {
    switch (fourcc) {
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_UYVY: return width * 2;
        case V4L2_PIX_FMT_MJPEG: return 0;
        default: return width;
    }
}

std::uint32_t sizeImage(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
    switch (fourcc) {
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_UYVY: return w * h * 2;
        case V4L2_PIX_FMT_MJPEG: return std::max(w * h * 2, 65536u);
        default: return w * h * 3 / 2;
    }
}

Renderer::Renderer(std::uint32_t fourcc, Size size, std::string label, Scene scene)
    : fourcc_(fourcc), size_(size), label_(std::move(label)), scene_(scene), cw_((size.w + 1) / 2) {
    const std::size_t n = std::size_t(size_.w) * size_.h, cn = std::size_t(cw_) * size_.h;
    bgY_.assign(n, 0);
    bgU_.assign(cn, 128);
    bgV_.assign(cn, 128);
    int cycle = kCycle;
    if (fourcc_ != V4L2_PIX_FMT_MJPEG) {
        const std::size_t frameBytes = sizeImage(fourcc_, size_.w, size_.h);
        cycle = static_cast<int>(std::clamp<std::size_t>(kCacheBudget / frameBytes, 2, kCycle));
    } else {
        tj_ = std::make_unique<Tj>();
    }
    frames_.resize(cycle);
    valid_.assign(cycle, false);
    if (scene_ == Scene::Realistic) {
        paintTexture();
        return;
    }

    // Static background: 75% colour bars over a grey ramp.
    const std::uint32_t W = size_.w, H = size_.h;
    const std::uint32_t barsH = std::max(2u, H * 2 / 3) & ~1u;
    static const double bars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                      {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
    for (std::uint32_t x = 0; x < W; x += 2) {
        const auto& b = bars[std::min<std::uint32_t>(7, x * 8 / W)];
        const Yuv c = fromRgb(b[0], b[1], b[2]);
        const double t = W > 2 ? 255.0 * x / (W - 2) : 0;
        const Yuv g = fromRgb(t, t, t);
        for (std::uint32_t y = 0; y < H; ++y) {
            const Yuv& p = y < barsH ? c : g;
            const std::size_t i = std::size_t(y) * W + x;
            bgY_[i] = p.y;
            if (x + 1 < W) bgY_[i + 1] = p.y;
            bgU_[std::size_t(y) * cw_ + x / 2] = p.u;
            bgV_[std::size_t(y) * cw_ + x / 2] = p.v;
        }
    }
}

Renderer::~Renderer() = default;

namespace {

struct Canvas {
    std::vector<std::uint8_t>& y;
    std::vector<std::uint8_t>& u;
    std::vector<std::uint8_t>& v;
    std::uint32_t w, h, cw;

    void rect(long x0, long y0, long x1, long y1, Yuv c) {
        x0 = std::max(0L, x0), y0 = std::max(0L, y0);
        x1 = std::min<long>(w, x1), y1 = std::min<long>(h, y1);
        for (long yy = y0; yy < y1; ++yy) {
            std::memset(&y[std::size_t(yy) * w + x0], c.y, std::max(0L, x1 - x0));
            for (long cx = x0 / 2; cx < (x1 + 1) / 2; ++cx) {
                u[std::size_t(yy) * cw + cx] = c.u;
                v[std::size_t(yy) * cw + cx] = c.v;
            }
        }
    }

    // Text on a black box; returns nothing, clips at the edges.
    void text(long x, long y0, long scale, const std::string& s) {
        const long adv = 6 * scale, pad = scale;
        rect(x - pad, y0 - pad, x + long(s.size()) * adv + pad, y0 + 7 * scale + pad, {0, 128, 128});
        for (char ch : s) {
            const std::uint8_t* g = glyph(ch);
            for (int r = 0; r < 7; ++r)
                for (int c = 0; c < 5; ++c)
                    if (g[r] & (0x10 >> c))
                        rect(x + c * scale, y0 + r * scale, x + (c + 1) * scale, y0 + (r + 1) * scale,
                             {255, 128, 128});
            x += adv;
        }
    }
};

}  // namespace

namespace {

// A small, fast generator: xorshift64*.
struct Random {
    std::uint64_t state;
    std::uint32_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<std::uint32_t>((state * 0x2545F4914F6CDD1DULL) >> 32);
    }
};

// Smooth random values on a grid `cell` pixels apart, bilinearly
// interpolated: one octave of value noise, in -1..1.
class ValueNoise {
public:
    ValueNoise(std::uint32_t w, std::uint32_t h, std::uint32_t cell, std::uint64_t seed)
        : cell_(cell), cols_(w / cell + 2), grid_(std::size_t(cols_) * (h / cell + 2)) {
        Random r{seed | 1};
        for (auto& g : grid_) g = (r.next() >> 8) / double(1 << 23) - 1;
    }
    double at(std::uint32_t x, std::uint32_t y) const {
        const std::uint32_t gx = x / cell_, gy = y / cell_;
        const double fx = double(x % cell_) / cell_, fy = double(y % cell_) / cell_;
        const double* row = &grid_[std::size_t(gy) * cols_ + gx];
        const double top = row[0] + (row[1] - row[0]) * fx;
        const double bottom = row[cols_] + (row[cols_ + 1] - row[cols_]) * fx;
        return top + (bottom - top) * fy;
    }

private:
    std::uint32_t cell_, cols_;
    std::vector<double> grid_;
};

}  // namespace

// A room-like picture: a shaded wall with a fine plaster texture, a wooden
// floor, a window with a bright sky and a few objects with hard edges.
void Renderer::paintTexture() {
    const std::uint32_t W = size_.w, H = size_.h;
    const double scale = H / 1080.0;  // the scene keeps its look at any size
    auto cell = [&](double px) { return std::max<std::uint32_t>(2, std::uint32_t(px * scale)); };
    const ValueNoise broad(W, H, cell(240), 11), medium(W, H, cell(40), 12), fine(W, H, cell(6), 13),
        grain(W, H, 2, 14);
    const std::uint32_t floorY = H * 7 / 10;
    const std::uint32_t winX0 = W * 6 / 10, winX1 = W * 9 / 10, winY0 = H / 10, winY1 = H / 2;
    for (std::uint32_t y = 0; y < H; ++y) {
        for (std::uint32_t x = 0; x < W; ++x) {
            const double b = broad.at(x, y), m = medium.at(x, y), f = fine.at(x, y), g = grain.at(x, y);
            double r, gr, bl;
            if (y >= floorY) {  // planks with grain along them
                const std::uint32_t plank = (y - floorY) / std::max(1u, cell(36));
                const double wood = 0.5 + 0.5 * std::sin(x / (9.0 * scale) + 6 * m + plank * 1.7);
                const bool seam = (y - floorY) % std::max(1u, cell(36)) < std::max(1u, cell(2));
                const double v = seam ? 40 : 110 + 50 * wood + 14 * f + 5 * g;
                r = v * 1.15, gr = v * 0.8, bl = v * 0.55;
            } else if (x >= winX0 && x < winX1 && y >= winY0 && y < winY1) {  // sky and a frame
                const bool bar = (x - winX0) % ((winX1 - winX0) / 2) < cell(10) ||
                                 (y - winY0) % ((winY1 - winY0) / 2) < cell(10);
                const double cloud = 30 * m + 10 * f;
                r = bar ? 235 : 170 + cloud, gr = bar ? 235 : 200 + cloud, bl = bar ? 230 : 245;
            } else {  // plaster
                const double v = 150 + 35 * b + 14 * m + 12 * f + 4 * g - 40.0 * y / H;
                r = v * 1.02, gr = v, bl = v * 0.92;
            }
            const Yuv p = fromRgb(r, gr, bl);
            bgY_[std::size_t(y) * W + x] = p.y;
            if (x % 2 == 0) {
                bgU_[std::size_t(y) * cw_ + x / 2] = p.u;
                bgV_[std::size_t(y) * cw_ + x / 2] = p.v;
            }
        }
    }
    // A bookshelf and a plant pot: hard edges, saturated colours.
    Canvas cv{bgY_, bgU_, bgV_, W, H, cw_};
    const long shelfX = long(W) / 12, shelfW = long(W) / 5;
    for (int i = 0; i < 5; ++i) {
        const long top = long(H) * (2 + 3 * i) / 20;
        cv.rect(shelfX, top, shelfX + shelfW, top + long(cell(12)), fromRgb(90, 60, 30));
        for (long bx = shelfX + long(cell(6)); bx + long(cell(20)) < shelfX + shelfW; bx += long(cell(26))) {
            static const double books[5][3] = {{160, 40, 40}, {40, 90, 150}, {200, 170, 60}, {50, 120, 60}, {120, 60, 140}};
            const auto& c = books[(bx / long(cell(26)) + i) % 5];
            const long height = long(cell(70)) + (bx * 7 % long(cell(30)));
            cv.rect(bx, top - height, bx + long(cell(20)), top, fromRgb(c[0], c[1], c[2]));
        }
    }
    cv.rect(long(W) * 45 / 100, long(floorY) - long(cell(140)), long(W) * 53 / 100, long(floorY), fromRgb(170, 80, 50));
}

// Sensor noise, different in every frame: one field of about 2.5 levels
// (a sum of uniform values, close to a normal distribution), laid over the
// planes at another offset in every frame, which is as good as new noise to
// the eye and to the JPEG encoder, and cheap.
void Renderer::addNoise(int k) {
    const std::size_t n = y_.size();
    if (noise_.empty()) {
        noise_.resize(2 * n + 1);
        Random r{0x9E3779B97F4A7C15ULL};
        for (auto& v : noise_) {
            const std::uint32_t bits = r.next();
            v = static_cast<std::int8_t>((int(bits & 0xFF) + int((bits >> 8) & 0xFF) - 255) * 6 / 256);
        }
    }
    auto noisy = [&](std::vector<std::uint8_t>& plane, std::size_t offset, int shift) {
        const std::int8_t* add = &noise_[offset % n];
        for (std::size_t i = 0; i < plane.size(); ++i)
            plane[i] = static_cast<std::uint8_t>(std::clamp(plane[i] + (add[i] >> shift), 0, 255));
    };
    const std::size_t step = 1000003;  // a prime: every frame lands somewhere else
    noisy(y_, std::size_t(k) * step, 0);
    noisy(u_, std::size_t(k) * step + n / 3, 1);
    noisy(v_, std::size_t(k) * step + 2 * n / 3, 1);
}


void Renderer::renderBase(int k) {
    y_ = bgY_;
    u_ = bgU_;
    v_ = bgV_;
    Canvas cv{y_, u_, v_, size_.w, size_.h, cw_};
    const long W = size_.w, H = size_.h;
    const long barsH = std::max(2L, H * 2 / 3) & ~1L;

    // A white block going right and back once per cycle.
    const long bs = std::max(8L, H / 8) & ~1L;
    const int n = cycle();
    const double phase = double(k) / n;
    const double tri = phase < 0.5 ? 2 * phase : 2 - 2 * phase;
    const long bx = long(tri * double(std::max(0L, W - bs))) & ~1L;
    cv.rect(bx, barsH / 2 - bs / 2, bx + bs, barsH / 2 + bs / 2, {255, 128, 128});

    // Frame counter (position in the cycle), top left.
    const long cs = std::max(2L, H / 60);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%02d", k);
    cv.text(2 * cs, 2 * cs, cs, digits);

    // The card name and the format, bottom left.
    const long ls = std::max(1L, H / 180);
    const long maxChars = std::max(1L, (W - 4 * ls) / (6 * ls));
    std::string label = label_.substr(0, std::size_t(maxChars));
    cv.text(2 * ls, H - 9 * ls, ls, label);
    if (scene_ == Scene::Realistic) addNoise(k);
}

void Renderer::applyLook(const Look& l) {
    const bool limited = fourcc_ != V4L2_PIX_FMT_MJPEG;  // JPEG is full range
    std::uint8_t lut[256];
    for (int i = 0; i < 256; ++i) {
        double t = std::pow(i / 255.0, l.gammaExp) * l.gain;
        t = (t - 0.5) * l.contrast + 0.5 + l.brightness;
        if (t < 1) t += l.backlight * 0.5 * (1 - std::max(0.0, t)) * (1 - std::max(0.0, t));
        t = std::clamp(t, 0.0, 1.0);
        lut[i] = static_cast<std::uint8_t>(std::lround(limited ? 16 + t * 219 : t * 255));
    }
    const std::uint32_t W = size_.w, H = size_.h;
    const long sharp256 = std::lround(std::clamp(l.sharpness, -0.25, 1.5) * 256);
    std::vector<std::uint8_t> row(W);
    for (std::uint32_t yy = 0; yy < H; ++yy) {
        std::uint8_t* p = &y_[std::size_t(yy) * W];
        for (std::uint32_t x = 0; x < W; ++x) row[x] = lut[p[x]];
        if (sharp256 != 0 && W > 2) {
            p[0] = row[0];
            p[W - 1] = row[W - 1];
            for (std::uint32_t x = 1; x + 1 < W; ++x) {
                const long d = 2L * row[x] - row[x - 1] - row[x + 1];
                p[x] = static_cast<std::uint8_t>(std::clamp(row[x] + ((d * sharp256) >> 8), 0L, 255L));
            }
        } else {
            std::memcpy(p, row.data(), W);
        }
    }

    const double range = limited ? 224.0 / 255.0 : 1.0;
    const double h = l.hueDeg * std::numbers::pi / 180;
    const double s = l.mono ? 0 : l.saturation * range;
    const long a = std::lround(std::cos(h) * s * 256), b = std::lround(-std::sin(h) * s * 256);
    const long c = std::lround(std::sin(h) * s * 256), d = std::lround(std::cos(h) * s * 256);
    const long tint = l.mono ? 0 : std::lround(l.tint * range);
    for (std::size_t i = 0; i < u_.size(); ++i) {
        const long u0 = long(u_[i]) - 128, v0 = long(v_[i]) - 128;
        u_[i] = static_cast<std::uint8_t>(std::clamp(128 + ((a * u0 + b * v0) >> 8) - tint, 0L, 255L));
        v_[i] = static_cast<std::uint8_t>(std::clamp(128 + ((c * u0 + d * v0) >> 8) + tint, 0L, 255L));
    }
}

void Renderer::pack(std::vector<std::uint8_t>& out) {
    const std::uint32_t W = size_.w, H = size_.h;
    if (fourcc_ == V4L2_PIX_FMT_MJPEG) {
        const unsigned char* planes[3] = {y_.data(), u_.data(), v_.data()};
        const int strides[3] = {int(W), int(cw_), int(cw_)};
        unsigned char* jpeg = nullptr;
        unsigned long jpegSize = 0;
        out.clear();
        if (tj_->h && tjCompressFromYUVPlanes(tj_->h, planes, int(W), strides, int(H), TJSAMP_422, &jpeg,
                                              &jpegSize, kJpegQuality, TJFLAG_FASTDCT) == 0)
            out.assign(jpeg, jpeg + jpegSize);
        tjFree(jpeg);
        return;
    }
    out.resize(sizeImage(fourcc_, W, H));
    std::uint8_t* o = out.data();
    switch (fourcc_) {
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_UYVY: {
            const bool yuyv = fourcc_ == V4L2_PIX_FMT_YUYV;
            for (std::uint32_t yy = 0; yy < H; ++yy) {
                const std::uint8_t* py = &y_[std::size_t(yy) * W];
                const std::uint8_t* pu = &u_[std::size_t(yy) * cw_];
                const std::uint8_t* pv = &v_[std::size_t(yy) * cw_];
                for (std::uint32_t x = 0; x < W; x += 2, o += 4) {
                    if (yuyv) {
                        o[0] = py[x], o[1] = pu[x / 2], o[2] = py[x + 1], o[3] = pv[x / 2];
                    } else {
                        o[0] = pu[x / 2], o[1] = py[x], o[2] = pv[x / 2], o[3] = py[x + 1];
                    }
                }
            }
            break;
        }
        default: {  // 4:2:0: average vertical chroma pairs
            std::memcpy(o, y_.data(), std::size_t(W) * H);
            std::uint8_t* c0 = o + std::size_t(W) * H;
            const std::uint32_t cw = W / 2, ch = H / 2;
            auto avg = [&](const std::vector<std::uint8_t>& p, std::uint32_t r, std::uint32_t c) {
                return static_cast<std::uint8_t>((p[std::size_t(2 * r) * cw_ + c] + p[std::size_t(2 * r + 1) * cw_ + c] + 1) / 2);
            };
            if (fourcc_ == V4L2_PIX_FMT_NV12) {
                for (std::uint32_t r = 0; r < ch; ++r)
                    for (std::uint32_t c = 0; c < cw; ++c) {
                        *c0++ = avg(u_, r, c);
                        *c0++ = avg(v_, r, c);
                    }
            } else {
                const bool yu12 = fourcc_ == V4L2_PIX_FMT_YUV420;
                std::uint8_t* pu = yu12 ? c0 : c0 + std::size_t(cw) * ch;
                std::uint8_t* pv = yu12 ? c0 + std::size_t(cw) * ch : c0;
                for (std::uint32_t r = 0; r < ch; ++r)
                    for (std::uint32_t c = 0; c < cw; ++c) {
                        *pu++ = avg(u_, r, c);
                        *pv++ = avg(v_, r, c);
                    }
            }
            break;
        }
    }
}

const std::vector<std::uint8_t>& Renderer::frame(int k, const Look& look) {
    if (!(look == look_)) {
        look_ = look;
        std::fill(valid_.begin(), valid_.end(), false);
    }
    k %= cycle();
    if (!valid_[k]) {
        renderBase(k);
        applyLook(look_);
        pack(frames_[k]);
        valid_[k] = true;
    }
    return frames_[k];
}

const std::vector<std::uint8_t>& Renderer::flash() {
    if (flash_.empty()) {
        const std::uint8_t white = fourcc_ == V4L2_PIX_FMT_MJPEG ? 255 : 235;  // JPEG is full range
        y_.assign(std::size_t(size_.w) * size_.h, white);
        u_.assign(std::size_t(cw_) * size_.h, 128);
        v_.assign(std::size_t(cw_) * size_.h, 128);
        pack(flash_);
    }
    return flash_;
}

}  // namespace kv
