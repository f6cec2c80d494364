// The test picture: colour bars, a grey ramp, a moving block and a frame
// counter, with the camera's controls applied, packed or JPEG-encoded; or,
// as the realistic scene, a textured picture with sensor noise that changes
// in every frame, so that it compresses like a real camera's.
#pragma once

#include "profile.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kv {

// What the controls do to the picture, in neutral-by-default terms.
struct Look {
    double brightness = 0;   // added to luma, fraction of full scale
    double contrast = 1;     // luma scale around mid-grey
    double gain = 1;         // luma multiplier (gain, exposure time)
    double gammaExp = 1;     // luma exponent
    double backlight = 0;    // shadow lift, 0..1
    double sharpness = 0;    // >0 sharpens, <0 softens
    double saturation = 1;   // chroma scale
    double hueDeg = 0;       // chroma rotation
    double tint = 0;         // white balance: >0 warmer, <0 cooler (chroma units)
    bool mono = false;       // black and white
    friend bool operator==(const Look&, const Look&) = default;
};

Look makeLook(const std::vector<ControlConfig>& configs, const std::map<std::uint32_t, std::int32_t>& values);

std::uint32_t bytesPerLine(std::uint32_t fourcc, std::uint32_t width);
std::uint32_t sizeImage(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height);

class Renderer {
public:
    Renderer(std::uint32_t fourcc, Size size, std::string label, Scene scene = Scene::Bars);
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    int cycle() const { return static_cast<int>(frames_.size()); }
    // Frame k (0 <= k < cycle()) for this look; rendered once per look.
    const std::vector<std::uint8_t>& frame(int k, const Look& look);
    // A white frame, whatever the look: a flash.
    const std::vector<std::uint8_t>& flash();

private:
    void renderBase(int k);
    void paintTexture();
    void addNoise(int k);
    void applyLook(const Look& look);
    void pack(std::vector<std::uint8_t>& out);

    std::uint32_t fourcc_;
    Size size_;
    std::string label_;
    Scene scene_;
    std::uint32_t cw_;  // chroma width (4:2:2)
    std::vector<std::uint8_t> bgY_, bgU_, bgV_;  // static background, full range
    std::vector<std::uint8_t> y_, u_, v_;        // work planes
    std::vector<std::int8_t> noise_;             // the realistic scene's sensor noise
    std::vector<std::vector<std::uint8_t>> frames_;
    std::vector<std::uint8_t> flash_;
    std::vector<bool> valid_;
    Look look_;
    struct Tj;
    std::unique_ptr<Tj> tj_;
};

}  // namespace kv
