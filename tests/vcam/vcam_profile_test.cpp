// The profile reader: what a profile defines, and which mistakes it names.
#include "profile.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>

using kv::NodeKind;

TEST(Profile, DefinesNodesInOrderWithTheirDefaults) {
    std::string error;
    const auto p = kv::parseProfile(R"(# comment line
[camera]
format = MJPG 1280x720 30,7.5   # trailing comment
stepwise = YUYV 160x120 640x480 16x8 30
control = white_balance_temperature 2800 6500 10 4600
control = brightness -64 64 1 0
control = exposure_auto 0 3 1 3
unplug_after_ms = 250
scene = realistic
sync_flash = 1
[metadata]
[output]
[camera]
name = Second
node = /dev/video7
format = NV12 320x240 15
)",
                                    error);
    ASSERT_TRUE(p) << error;
    ASSERT_EQ(p->nodes.size(), 4u);
    const auto& cam = p->nodes[0];
    EXPECT_EQ(cam.number, 0);
    EXPECT_EQ(cam.name, "Kinovo Virtual Camera");
    EXPECT_EQ(cam.driver, "uvcvideo");
    EXPECT_EQ(cam.bus, "usb-0000:00:14.0-1");
    EXPECT_EQ(cam.unplugAfterMs, 250);
    EXPECT_EQ(cam.scene, kv::Scene::Realistic);
    EXPECT_TRUE(cam.syncFlash);
    ASSERT_EQ(cam.formats.size(), 2u);
    EXPECT_EQ(cam.formats[0].intervals, (std::vector<kv::Fraction>{{1, 30}, {2, 15}}));
    EXPECT_TRUE(cam.formats[1].stepwise);
    EXPECT_EQ(cam.formats[1].size, (kv::Size{640, 480}));  // a stepwise format starts at its largest size
    ASSERT_EQ(cam.controls.size(), 3u);  // by control id
    EXPECT_EQ(cam.controls[0].info->id, V4L2_CID_BRIGHTNESS);
    EXPECT_EQ(cam.controls[1].info->id, V4L2_CID_WHITE_BALANCE_TEMPERATURE);
    EXPECT_EQ(cam.controls[2].info->key, "auto_exposure");  // the alias resolves to the kernel's name

    EXPECT_EQ(p->nodes[1].kind, NodeKind::Metadata);
    EXPECT_EQ(p->nodes[1].number, 1);
    EXPECT_EQ(p->nodes[1].name, cam.name);
    EXPECT_EQ(p->nodes[1].bus, cam.bus);
    EXPECT_EQ(cam.metaIndex, 1);
    EXPECT_EQ(p->nodes[2].kind, NodeKind::Output);
    EXPECT_EQ(p->nodes[2].bus, "platform:vout-1");
    EXPECT_EQ(p->nodes[3].number, 7);
    EXPECT_EQ(p->nodes[3].bus, "usb-0000:00:14.0-2");
    EXPECT_EQ(p->nodes[3].metaIndex, -1);
    EXPECT_EQ(p->nodes[3].scene, kv::Scene::Bars);
    EXPECT_FALSE(p->nodes[3].syncFlash);
}

struct BadCase {
    const char* text;
    const char* error;  // the message's start: "LINE: ..." or a message of the whole profile
};

class BadProfile : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadProfile, IsRefusedWithItsLine) {
    std::string error;
    EXPECT_FALSE(kv::parseProfile(GetParam().text, error));
    EXPECT_EQ(error.rfind(GetParam().error, 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadProfile,
    ::testing::Values(
        BadCase{"name = x\n", "1: key outside a section"},
        BadCase{"[webcam]\n", "1: unknown section"},
        BadCase{"[camera]\nformat = MJPG 640x480 30\ncolour = 1\n", "3: unknown key 'colour'"},
        BadCase{"[camera]\nformat = H264 640x480 30\n", "2: expected format"},
        BadCase{"[camera]\nformat = YUYV 641x480 30\n", "2: width and height must be even"},
        BadCase{"[camera]\nformat = YUYV 640x480 0\n", "2: expected format"},
        BadCase{"[camera]\nformat = YUYV 640x480 30,\n", "2: expected format"},
        BadCase{"[camera]\nstepwise = YUYV 160x120 650x480 16x8 30\n", "2: stepwise maximum must be on the step grid"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\nstepwise = YUYV 160x120 640x480 16x8 30\n",
                "YUYV mixes discrete and stepwise sizes"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\nformat = YUYV 640x480 15\n", "YUYV size given twice"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\ncontrol = focus 0 1 1 0\n", "3: unknown control 'focus'"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\ncontrol = brightness 0 10 1 11\n", "3: need MIN <= DEFAULT <= MAX"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\ncontrol = brightness 0 10 0 5\n", "3: STEP must be at least 1"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\ncontrol = gain_automatic 0 2 1 1\n", "3: gain_automatic is a boolean"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\ncontrol = power_line_frequency 0 4 1 1\n",
                "3: power_line_frequency is a menu of 4 items"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\ncontrol = hue 0 1 1 0\ncontrol = hue 0 2 1 0\n",
                "4: control 'hue' given twice"},
        BadCase{"[metadata]\n", "1: [metadata] needs a [camera] before it"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\n[metadata]\nname = x\n", "4: [metadata] takes only 'node'"},
        BadCase{"[camera]\n", "camera 'Kinovo Virtual Camera' has no format"},
        BadCase{"[output]\n[output]\nnode = /dev/video0\n", "two sections define /dev/video0"},
        BadCase{"[output]\nnode = /dev/camera\n", "2: node must be /dev/videoN"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\nscene = garden\n", "3: scene must be bars or realistic"},
        BadCase{"[camera]\nformat = YUYV 640x480 30\nsync_flash = yes\n", "3: sync_flash must be 0 or 1"}));
