// The profile: which nodes exist and what each one offers.
#pragma once

#include "controls.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv {

struct Fraction {
    std::uint32_t num = 0;
    std::uint32_t den = 1;
    friend bool operator==(const Fraction&, const Fraction&) = default;
};

struct Size {
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct FormatEntry {
    std::uint32_t fourcc = 0;
    bool stepwise = false;
    Size size;                    // discrete
    Size min, max, step;          // stepwise
    std::vector<Fraction> intervals;  // frame intervals, default first
};

struct ControlConfig {
    const ControlInfo* info = nullptr;
    std::int32_t min = 0, max = 0, step = 1, def = 0;
};

enum class NodeKind { Camera, Metadata, Output };

// What a camera shows: the test card, or a scene with texture and noise.
enum class Scene { Bars, Realistic };

struct NodeConfig {
    NodeKind kind = NodeKind::Camera;
    int number = -1;  // N of /dev/videoN
    std::string name, bus, driver;
    std::vector<FormatEntry> formats;
    std::vector<ControlConfig> controls;  // sorted by id
    long long unplugAfterMs = -1;
    // Faults of a camera that stays plugged in.
    bool busyAtReqbufs = false;   // VIDIOC_REQBUFS fails EBUSY (another program streams)
    bool busyAtStreamon = false;  // VIDIOC_STREAMON fails EBUSY
    bool busyAtSfmt = false;      // VIDIOC_S_FMT fails EBUSY: the camera keeps its format
    bool errorFrames = false;     // every frame comes with V4L2_BUF_FLAG_ERROR
    long long silentAfterMs = -1, silentForMs = 0;  // no frames (and no error) for a while
    int damageEvery = 0;          // every Nth frame is damaged, in turn in each way
    int dqbufEioEvery = 0;        // the first VIDIOC_DQBUF of every Nth frame fails EIO
    long long dqbufEioAfterMs = -1;  // from then on every VIDIOC_DQBUF fails EIO
    Scene scene = Scene::Bars;
    bool prerender = false;  // the ring of frames is encoded before the first one falls due
    bool syncFlash = false;  // a white frame at each event of KINOVO_SYNC_PERIOD_MS
    int cameraIndex = -1;  // metadata: index of its camera's node
    int metaIndex = -1;    // camera: index of its metadata node
};

struct Profile {
    std::vector<NodeConfig> nodes;
};

// Parses profile text; on error returns nullopt and sets `error` to
// "LINE: message", or "message" for a fault of the whole profile.
std::optional<Profile> parseProfile(const std::string& text, std::string& error);

// Pixel formats the camera can produce.
bool isSupportedFourcc(std::uint32_t fourcc);
std::string fourccText(std::uint32_t fourcc);

}  // namespace kv
