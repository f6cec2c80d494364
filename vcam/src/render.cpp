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

Renderer::Renderer(std::uint32_t fourcc, Size size, std::string label)
    : fourcc_(fourcc), size_(size), label_(std::move(label)), cw_((size.w + 1) / 2) {
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

}  // namespace kv
