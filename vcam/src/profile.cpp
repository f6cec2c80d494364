#include "profile.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <charconv>
#include <numeric>
#include <set>
#include <sstream>

namespace kv {
namespace {

std::string trim(std::string s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

template <typename T>
bool parseNumber(std::string_view s, T& out) {
    const auto* end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc() && p == end;
}

bool parseSize(const std::string& s, Size& out) {
    const auto x = s.find('x');
    if (x == std::string::npos) return false;
    return parseNumber(std::string_view(s).substr(0, x), out.w) &&
           parseNumber(std::string_view(s).substr(x + 1), out.h) && out.w > 0 && out.h > 0 &&
           out.w <= 8192 && out.h <= 8192;
}

// "30", "7.5" -> the frame interval as a reduced fraction.
bool parseRate(const std::string& s, Fraction& out) {
    const auto dot = s.find('.');
    std::uint64_t whole = 0, frac = 0, scale = 1;
    if (!parseNumber(std::string_view(s).substr(0, dot), whole)) return false;
    if (dot != std::string::npos) {
        const auto digits = std::string_view(s).substr(dot + 1);
        if (digits.empty() || digits.size() > 3 || !parseNumber(digits, frac)) return false;
        for (std::size_t i = 0; i < digits.size(); ++i) scale *= 10;
    }
    const std::uint64_t fps = whole * scale + frac;  // frames per `scale` seconds
    if (fps == 0 || whole > 1000) return false;
    const std::uint64_t g = std::gcd(fps, scale);
    out = {static_cast<std::uint32_t>(scale / g), static_cast<std::uint32_t>(fps / g)};
    return true;
}

bool parseRates(const std::string& s, std::vector<Fraction>& out) {
    std::size_t start = 0;
    while (start <= s.size()) {
        auto comma = s.find(',', start);
        if (comma == std::string::npos) comma = s.size();
        Fraction f;
        if (!parseRate(s.substr(start, comma - start), f)) return false;
        out.push_back(f);
        start = comma + 1;
    }
    return !out.empty();
}

bool parseFourcc(const std::string& s, std::uint32_t& out) {
    if (s.size() != 4) return false;
    out = v4l2_fourcc(s[0], s[1], s[2], s[3]);
    return isSupportedFourcc(out);
}

bool parseNode(const std::string& s, int& out) {
    constexpr std::string_view prefix = "/dev/video";
    if (s.rfind(prefix, 0) != 0) return false;
    return parseNumber(std::string_view(s).substr(prefix.size()), out) && out >= 0 && out < 256;
}

}  // namespace

bool isSupportedFourcc(std::uint32_t fourcc) {
    switch (fourcc) {
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_UYVY:
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420:
        case V4L2_PIX_FMT_NV12:
            return true;
        default:
            return false;
    }
}

std::string fourccText(std::uint32_t f) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((f >> (8 * i)) & 0xff);
    return s;
}

std::optional<Profile> parseProfile(const std::string& text, std::string& error) {
    Profile p;
    std::vector<int> explicitNode;  // per cfg: line of an explicit node key, or 0
    int cameras = 0, outputs = 0;
    int lineNo = 0;
    auto fail = [&](const std::string& msg) {
        error = lineNo ? std::to_string(lineNo) + ": " + msg : msg;
        return std::nullopt;
    };

    std::istringstream in(text);
    for (std::string raw; std::getline(in, raw);) {
        ++lineNo;
        if (const auto hash = raw.find('#'); hash != std::string::npos) raw.resize(hash);
        const std::string line = trim(raw);
        if (line.empty()) continue;

        if (line.front() == '[') {
            if (line.back() != ']') return fail("malformed section header");
            const std::string kind = trim(line.substr(1, line.size() - 2));
            NodeConfig n;
            n.number = static_cast<int>(p.nodes.size());
            if (kind == "camera") {
                n.kind = NodeKind::Camera;
                ++cameras;
                n.name = "Kinovo Virtual Camera";
                n.driver = "uvcvideo";
                n.bus = "usb-0000:00:14.0-" + std::to_string(cameras);
            } else if (kind == "metadata") {
                n.kind = NodeKind::Metadata;
                int cam = -1;
                for (int i = static_cast<int>(p.nodes.size()) - 1; i >= 0 && cam < 0; --i)
                    if (p.nodes[i].kind == NodeKind::Camera) cam = i;
                if (cam < 0) return fail("[metadata] needs a [camera] before it");
                if (p.nodes[cam].metaIndex >= 0) return fail("the camera already has a [metadata] node");
                n.cameraIndex = cam;
                p.nodes[cam].metaIndex = static_cast<int>(p.nodes.size());
            } else if (kind == "output") {
                n.kind = NodeKind::Output;
                ++outputs;
                n.name = "Kinovo Virtual Output";
                n.driver = "vout";
                n.bus = "platform:vout-" + std::to_string(outputs);
            } else {
                return fail("unknown section [" + kind + "]");
            }
            p.nodes.push_back(std::move(n));
            continue;
        }

        if (p.nodes.empty()) return fail("key outside a section");
        const auto eq = line.find('=');
        if (eq == std::string::npos) return fail("expected key = value");
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        NodeConfig& n = p.nodes.back();
        const auto w = words(value);

        if (key == "node") {
            if (!parseNode(value, n.number)) return fail("node must be /dev/videoN");
        } else if (n.kind == NodeKind::Metadata) {
            return fail("[metadata] takes only 'node'");
        } else if (key == "name" || key == "bus" || key == "driver") {
            if (value.empty()) return fail(key + " is empty");
            (key == "name" ? n.name : key == "bus" ? n.bus : n.driver) = value;
        } else if (n.kind == NodeKind::Output) {
            return fail("[output] takes only name, bus, driver and node");
        } else if (key == "format") {
            FormatEntry f;
            if (w.size() != 3 || !parseFourcc(w[0], f.fourcc) || !parseSize(w[1], f.size) ||
                !parseRates(w[2], f.intervals))
                return fail("expected format = FOURCC WxH FPS[,FPS...] (FOURCC one of MJPG YUYV UYVY YU12 YV12 NV12)");
            if (f.size.w % 2 || f.size.h % 2) return fail("width and height must be even");
            n.formats.push_back(std::move(f));
        } else if (key == "stepwise") {
            FormatEntry f;
            f.stepwise = true;
            if (w.size() != 5 || !parseFourcc(w[0], f.fourcc) || !parseSize(w[1], f.min) ||
                !parseSize(w[2], f.max) || !parseSize(w[3], f.step) || !parseRates(w[4], f.intervals))
                return fail("expected stepwise = FOURCC MINWxMINH MAXWxMAXH STEPWxSTEPH FPS[,FPS...]");
            if (f.min.w > f.max.w || f.min.h > f.max.h) return fail("stepwise minimum above maximum");
            if (f.min.w % 2 || f.min.h % 2 || f.step.w % 2 || f.step.h % 2)
                return fail("stepwise minimum and step must be even");
            if ((f.max.w - f.min.w) % f.step.w || (f.max.h - f.min.h) % f.step.h)
                return fail("stepwise maximum must be on the step grid");
            f.size = f.max;
            n.formats.push_back(std::move(f));
        } else if (key == "control") {
            ControlConfig c;
            if (w.size() != 5) return fail("expected control = NAME MIN MAX STEP DEFAULT");
            c.info = findControlByKey(w[0]);
            if (!c.info) return fail("unknown control '" + w[0] + "'");
            if (!parseNumber(std::string_view(w[1]), c.min) || !parseNumber(std::string_view(w[2]), c.max) ||
                !parseNumber(std::string_view(w[3]), c.step) || !parseNumber(std::string_view(w[4]), c.def))
                return fail("control numbers must be integers");
            if (c.min > c.max || c.def < c.min || c.def > c.max) return fail("need MIN <= DEFAULT <= MAX");
            if (c.step < 1) return fail("STEP must be at least 1");
            if (c.info->type == CtrlType::Boolean && (c.min != 0 || c.max != 1 || c.step != 1))
                return fail(w[0] + " is a boolean: use 0 1 1 DEFAULT");
            if (c.info->type == CtrlType::Menu && (c.min < 0 || c.max >= menuSize(*c.info) || c.step != 1))
                return fail(w[0] + " is a menu of " + std::to_string(menuSize(*c.info)) +
                            " items with step 1");
            for (const auto& o : n.controls)
                if (o.info == c.info) return fail("control '" + w[0] + "' given twice");
            n.controls.push_back(c);
        } else if (key == "scene") {
            if (value == "bars") n.scene = Scene::Bars;
            else if (value == "realistic") n.scene = Scene::Realistic;
            else return fail("scene must be bars or realistic");
        } else if (key == "sync_flash") {
            if (value != "0" && value != "1") return fail("sync_flash must be 0 or 1");
            n.syncFlash = value == "1";
        } else if (key == "unplug_after_ms") {
            if (!parseNumber(std::string_view(value), n.unplugAfterMs) || n.unplugAfterMs < 0)
                return fail("unplug_after_ms must be a number of milliseconds");
        } else if (key == "busy_at") {
            if (value == "reqbufs") n.busyAtReqbufs = true;
            else if (value == "streamon") n.busyAtStreamon = true;
            else if (value == "s_fmt")
                n.busyAtSfmt = true;
            else
                return fail("expected busy_at = reqbufs, streamon or s_fmt");
        } else if (key == "prerender") {
            if (value != "0" && value != "1") return fail("prerender is 0 or 1");
            n.prerender = value == "1";
        } else if (key == "error_frames") {
            if (value != "0" && value != "1") return fail("error_frames is 0 or 1");
            n.errorFrames = value == "1";
        } else if (key == "silence") {
            if (w.size() != 2 || !parseNumber(std::string_view(w[0]), n.silentAfterMs) ||
                !parseNumber(std::string_view(w[1]), n.silentForMs) || n.silentAfterMs < 0 || n.silentForMs <= 0)
                return fail("expected silence = AFTER_MS FOR_MS");
        } else if (key == "dqbuf_eio_every") {
            if (!parseNumber(std::string_view(value), n.dqbufEioEvery) || n.dqbufEioEvery < 1)
                return fail("dqbuf_eio_every must be a positive number of frames");
        } else if (key == "dqbuf_eio_after_ms") {
            if (!parseNumber(std::string_view(value), n.dqbufEioAfterMs) || n.dqbufEioAfterMs < 0)
                return fail("dqbuf_eio_after_ms must be a number of milliseconds");
        } else if (key == "damage_every") {
            if (!parseNumber(std::string_view(value), n.damageEvery) || n.damageEvery < 1)
                return fail("damage_every must be a positive number of frames");
        } else {
            return fail("unknown key '" + key + "'");
        }
    }

    std::set<int> numbers;
    for (auto& n : p.nodes) {
        lineNo = 0;
        if (!numbers.insert(n.number).second)
            return fail("two sections define /dev/video" + std::to_string(n.number));
        if (n.kind == NodeKind::Camera) {
            if (n.formats.empty()) return fail("camera '" + n.name + "' has no format");
            for (const auto& f : n.formats)
                for (const auto& g : n.formats)
                    if (f.fourcc == g.fourcc && f.stepwise != g.stepwise)
                        return fail(fourccText(f.fourcc) + " mixes discrete and stepwise sizes");
            for (std::size_t i = 0; i < n.formats.size(); ++i)
                for (std::size_t j = 0; j < i; ++j)
                    if (n.formats[i].fourcc == n.formats[j].fourcc &&
                        (n.formats[i].stepwise || n.formats[i].size == n.formats[j].size))
                        return fail(fourccText(n.formats[i].fourcc) + " size given twice");
            std::sort(n.controls.begin(), n.controls.end(),
                      [](const ControlConfig& a, const ControlConfig& b) { return a.info->id < b.info->id; });
        }
    }
    for (auto& n : p.nodes)
        if (n.kind == NodeKind::Metadata) {
            const NodeConfig& cam = p.nodes[n.cameraIndex];
            n.name = cam.name;
            n.bus = cam.bus;
            n.driver = cam.driver;
        }
    return p;
}

}  // namespace kv
