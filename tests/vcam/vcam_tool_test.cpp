// Standard tools (v4l2-ctl, ffmpeg) against the virtual camera: what they
// report and record must match the profile, as with a real UVC camera.
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

using namespace vcamtest;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// "key=value" lines of ffprobe's default writer.
std::map<std::string, std::string> keyValues(const std::string& text) {
    std::map<std::string, std::string> out;
    for (const auto& l : linesOf(text))
        if (const auto eq = l.find('='); eq != std::string::npos) out[l.substr(0, eq)] = l.substr(eq + 1);
    return out;
}

std::string output(const std::string& name) { return workDir() + "/" + name; }

}  // namespace

TEST(V4l2Ctl, ListsExactlyTheProfilesFormatsAndControls) {
    const auto [rc, out] = run("v4l2-ctl -d /dev/video0 --all --list-formats-ext --list-ctrls");
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Driver name      : uvcvideo"), std::string::npos) << out;
    EXPECT_NE(out.find("Card type        : Test Camera A"), std::string::npos) << out;

    std::vector<std::string> formats, controls;
    const std::regex fmt(R"(^\s*\[\d+\]: '(\w{4})')"), size(R"(^\s*Size: Discrete (\d+x\d+))"),
        ival(R"(^\s*Interval: Discrete [0-9.]+s \(([0-9.]+) fps\))"),
        ctrl(R"(^\s*(\w+) 0x[0-9a-f]+ \((\w+)\)\s*:(.*)$)"), kv(R"((min|max|step|default)=(-?\d+))");
    std::string curFmt, curSize;
    for (const auto& l : linesOf(out)) {
        std::smatch m;
        if (std::regex_search(l, m, fmt)) {
            curFmt = m[1];
        } else if (std::regex_search(l, m, size)) {
            curSize = m[1];
        } else if (std::regex_search(l, m, ival)) {
            formats.push_back(curFmt + " " + curSize + " " + std::string(m[1]));
        } else if (std::regex_search(l, m, ctrl)) {
            std::string line = std::string(m[1]) + " " + std::string(m[2]);
            const std::string rest = m[3];
            for (std::sregex_iterator it(rest.begin(), rest.end(), kv), end; it != end; ++it) line += " " + it->str();
            controls.push_back(line);
        }
    }
    EXPECT_EQ(formats, (std::vector<std::string>{"MJPG 1280x720 30.000", "MJPG 1280x720 15.000",
                                                 "MJPG 640x480 30.000", "YUYV 640x480 30.000",
                                                 "YUYV 640x480 15.000", "YUYV 640x480 5.000",
                                                 "YUYV 320x240 30.000", "NV12 320x240 30.000"}));
    EXPECT_EQ(controls, (std::vector<std::string>{
                            "brightness int min=-64 max=64 step=1 default=0",
                            "contrast int min=0 max=64 step=1 default=32",
                            "saturation int min=0 max=128 step=1 default=64",
                            "hue int min=-180 max=180 step=1 default=0",
                            "white_balance_automatic bool default=1",
                            "gain_automatic bool default=1",
                            "gain int min=0 max=100 step=1 default=0",
                            "power_line_frequency menu min=0 max=2 default=1",
                            "hue_automatic bool default=0",
                            "white_balance_temperature int min=2800 max=6500 step=10 default=4600",
                            "color_effects menu min=0 max=1 default=0",
                            "auto_exposure menu min=0 max=3 default=3",
                            "exposure_time_absolute int min=3 max=2047 step=1 default=250",
                        }));
}

TEST(V4l2Ctl, SetCtrlChangesTheValueAndIsLogged) {
    const LogMark mark;
    const auto [rc, out] = run(
        "v4l2-ctl -d /dev/video0 --set-ctrl brightness=10 "
        "--set-ctrl white_balance_automatic=0,white_balance_temperature=5005 "
        "--get-ctrl brightness,white_balance_temperature");
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("brightness: 10"), std::string::npos) << out;
    EXPECT_NE(out.find("white_balance_temperature: 5010"), std::string::npos) << out;  // on the step grid
    const auto lines = mark.lines();
    for (const char* want : {"video0 s_ctrl brightness 10", "video0 s_ctrl white_balance_automatic 0",
                             "video0 s_ctrl white_balance_temperature 5010"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
}

TEST(V4l2Ctl, StreamsMemoryMappedFrames) {
    const LogMark mark;
    const std::string file = output("v4l2ctl.yuv");
    const auto [rc, out] = run("v4l2-ctl -d /dev/video0 --set-fmt-video=width=640,height=480,pixelformat=YUYV "
                               "--stream-mmap --stream-count=30 --stream-to=" + file);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(std::filesystem::file_size(file), 30u * 640 * 480 * 2);
    const auto lines = mark.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "video0 streamon YUYV 640x480 1/30"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "video0 streamoff"), lines.end());
}

struct FfmpegCase {
    const char* inputFormat;
    const char* size;
    const char* codec;
    const char* pixFmt;  // nullptr: not checked
};

class Ffmpeg : public ::testing::TestWithParam<FfmpegCase> {};

TEST_P(Ffmpeg, RecordsTwoSecondsThatDecodeCleanly) {
    const FfmpegCase& c = GetParam();
    const std::string file = output(std::string(c.inputFormat) + ".avi");
    const auto [rc, out] = run(std::string("ffmpeg -nostdin -hide_banner -loglevel error -f v4l2 -input_format ") +
                               c.inputFormat + " -video_size " + c.size + " -framerate 30 -i /dev/video0 -t 2 -c copy -y " +
                               file);
    ASSERT_EQ(rc, 0) << out;

    const auto [prc, probe] = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                  "stream=codec_name,width,height,pix_fmt,nb_read_frames -of default=nw=1 " + file);
    ASSERT_EQ(prc, 0) << probe;
    auto info = keyValues(probe);
    EXPECT_EQ(info["codec_name"], c.codec);
    EXPECT_EQ(info["width"] + "x" + info["height"], c.size);
    if (c.pixFmt) {
        EXPECT_EQ(info["pix_fmt"], c.pixFmt);
    }
    const int frames = std::stoi(info["nb_read_frames"]);
    EXPECT_GE(frames, 45) << "2 s at 30 fps";
    EXPECT_LE(frames, 61) << "2 s at 30 fps";

    const auto [drc, decode] = run("ffmpeg -nostdin -v error -i " + file + " -f null -");
    EXPECT_EQ(drc, 0);
    EXPECT_EQ(decode, "");
}

INSTANTIATE_TEST_SUITE_P(Formats, Ffmpeg,
                         ::testing::Values(FfmpegCase{"mjpeg", "1280x720", "mjpeg", nullptr},
                                           FfmpegCase{"yuyv422", "640x480", "rawvideo", "yuyv422"}),
                         [](const auto& info) { return std::string(info.param.inputFormat); });

TEST(BrokenProfile, IsReportedWithItsLineAndDefinesNoNode) {
    const std::string bad = output("bad.ini");
    writeText(bad, "[camera]\nformat = MJPG 640x480 30\ncontrol = focus 0 1 1 0\n");
    const auto [rc, out] = run("KINOVO_VCAM_PROFILE=" + bad + " v4l2-ctl -d /dev/video0 -D");
    EXPECT_NE(rc, 0) << out;
    EXPECT_NE(out.find("kinovo-vcam: " + bad + ":3: unknown control 'focus'"), std::string::npos) << out;
}
