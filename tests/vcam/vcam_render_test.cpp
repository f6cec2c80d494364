// The pictures the camera renders.
#include "render.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <cstdlib>

namespace {

// The realistic scene compresses like a real 1080p camera's picture, and
// its sensor noise makes every frame of the cycle different.
TEST(Render, RealisticSceneFramesAreAsLargeAsARealCamerasAndAllDiffer) {
    kv::Renderer renderer(V4L2_PIX_FMT_MJPEG, {1920, 1080}, "Scene", kv::Scene::Realistic);
    const kv::Look look;
    std::vector<std::uint8_t> previous;
    for (int k = 0; k < 3; ++k) {
        const std::vector<std::uint8_t> frame = renderer.frame(k, look);
        EXPECT_GE(frame.size(), 250u * 1024) << "frame " << k;
        EXPECT_LE(frame.size(), 450u * 1024) << "frame " << k;
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, sub = 0, cs = 0;
        EXPECT_EQ(tjDecompressHeader3(tj, frame.data(), frame.size(), &w, &h, &sub, &cs), 0);
        tjDestroy(tj);
        EXPECT_EQ(w, 1920);
        EXPECT_EQ(h, 1080);
        EXPECT_NE(frame, previous);
        previous = frame;
    }
}

// Raw formats of the realistic scene keep video range, like the test card.
TEST(Render, RealisticSceneInRawFormatsStaysInVideoRange) {
    kv::Renderer renderer(V4L2_PIX_FMT_YUYV, {320, 240}, "Scene", kv::Scene::Realistic);
    const auto& frame = renderer.frame(0, kv::Look{});
    ASSERT_EQ(frame.size(), 320u * 240 * 2);
    int lo = 255, hi = 0;
    for (std::size_t i = 0; i < frame.size(); i += 2) {
        lo = std::min<int>(lo, frame[i]);
        hi = std::max<int>(hi, frame[i]);
    }
    EXPECT_GE(lo, 16);
    EXPECT_LE(hi, 235);
    EXPECT_GT(hi - lo, 100);  // a picture, not a flat field
}

}  // namespace
