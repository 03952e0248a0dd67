// The whole camera (tests/peers/camera_env.py with this tree's zelmar_app) along the roads a user's
// actions take, each driven by the command the set-up prints and checked with independent tools:
// a motion event is kept on the card as an event in the index of the period that saw it, and the
// cloud's next clip, decrypted there, decodes; the card's recordings reach the NAS share byte for
// byte; a phone's talk-back reaches the board's speaker as the tone it sent; a phone plays a
// recording of the card back and gets "filefound" and video that decodes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "camera_env.h"
#include "peer_control.h"

namespace {

using namespace std::chrono_literals;

using cameratest::Camera;
using cameratest::contains;
using cameratest::quoted;
using cameratest::Ran;
using cameratest::run;
using cameratest::streams_of;

// ffmpeg decodes every frame without an error.
bool decodes(const std::string &path)
{
    return run("ffmpeg -v error -xerror -i " + quoted(path) + " -f null -").status == 0;
}

// The records `recordings` lists, one JSON object each.
std::vector<zeltest::Json> index_records(const Camera &camera)
{
    std::vector<zeltest::Json> records;
    std::istringstream lines(run(camera.command("recordings")).out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("{", 0) == 0)
            records.push_back(zeltest::parse_json(line));
    return records;
}

int64_t field(const zeltest::Json &record, const char *name)
{
    json_object *value = nullptr;
    return json_object_object_get_ex(record.get(), name, &value) ? json_object_get_int64(value) : -1;
}

std::string text_field(const zeltest::Json &record, const char *name)
{
    json_object *value = nullptr;
    return json_object_object_get_ex(record.get(), name, &value) ? json_object_get_string(value) : "";
}

TEST(CameraRoads, AMotionEventIsKeptOnTheCardAndTheCloudsNextClipDecodes)
{
    zeltest::TempRoot root;
    Camera camera(root, {});
    ASSERT_TRUE(camera.up()) << camera.out() << camera.app_log().substr(0, 6000);
    const std::string motion = camera.command("motion");
    const std::string clip = camera.command("clip");
    ASSERT_FALSE(motion.empty() || clip.empty()) << camera.out();

    const int64_t moved_at = static_cast<int64_t>(std::time(nullptr));
    const Ran moved = run(motion);
    ASSERT_EQ(moved.status, 0) << moved.out;
    EXPECT_TRUE(contains(moved.out, "\"method\": \"event_occured\"")) << moved.out;

    // The cloud decrypts the clip; ffprobe and ffmpeg read it as the board's sub stream with its sound.
    const Ran clipped = run(clip);
    ASSERT_EQ(clipped.status, 0) << clipped.out;
    const std::string file = clip.substr(clip.rfind(' ') + 1);
    const std::string streams = streams_of(file);
    EXPECT_TRUE(contains(streams, "hevc,864,480") && contains(streams, "opus")) << streams;
    EXPECT_TRUE(decodes(file)) << run("ffmpeg -v error -xerror -i " + quoted(file) + " -f null -").out;

    if (!camera.has_card())
        GTEST_SKIP() << "no test card (a loop mount needs root): the card's part is not checked";
    // The period that saw the motion closes within a minute: its event record and its video record,
    // marked with motion, cover the moment.
    const auto covered = [&] {
        bool event = false, video = false;
        for (const zeltest::Json &r : index_records(camera)) {
            const int64_t start = field(r, "time");
            if (text_field(r, "kind") == "event")
                event = event || (start <= moved_at + 2 && start >= moved_at - 70);
            else
                video = video || (field(r, "motion") == 1 && start <= moved_at + 2 &&
                                  start + field(r, "duration") >= moved_at - 2);
        }
        return event && video;
    };
    EXPECT_TRUE(zeltest::wait_until(covered, 90s)) << run(camera.command("recordings")).out;
}

TEST(CameraRoads, TheCardsRecordingsReachTheNasShareByteForByte)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the test card is a loop mount, which needs root";
    zeltest::TempRoot root;
    // A main stream of about 16 Mbit/s fills a 128-MiB recording file in about a minute (the board's
    // own, at 2 Mbit/s, would take nine); the rest are the board's files.
    const std::string media = root.path("/media");
    const std::string board = std::string(ZEL_BOARD_SOUND_DIR) + "/..";
    const Ran made = run(
        "mkdir -p " + quoted(media) + " && for f in " + quoted(board) + "/*; do ln -s \"$f\" " + quoted(media) +
        "/; done && rm " + quoted(media + "/main_2880x1620.h265") +
        " && ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
        "'testsrc2=size=2880x1620:rate=20,noise=alls=16:allf=t+u' -t 3 -c:v libx265 -preset ultrafast "
        "-pix_fmt yuv420p -b:v 16M -x265-params log-level=error:keyint=60:min-keyint=60:scenecut=0:bframes=0:"
        "repeat-headers=1:vbv-maxrate=16000:vbv-bufsize=4000 -f hevc " +
        quoted(media + "/main_2880x1620.h265"));
    ASSERT_EQ(made.status, 0) << made.out;
    Camera camera(root, {}, {"ZELMAR_BOARD_MEDIA=" + media});
    ASSERT_TRUE(camera.up()) << camera.out() << camera.app_log().substr(0, 6000);
    if (!camera.has_card())
        GTEST_SKIP() << camera.out();
    const std::string nas = camera.command("nas");
    if (nas.empty())
        GTEST_SKIP() << "no NAS share in this run: " << camera.out();

    const Ran backed = run(nas + " 150");
    ASSERT_EQ(backed.status, 0) << backed.out << camera.app_log().substr(camera.app_log().size() - 4000);
    std::cout << backed.out;
    // "  <MAC>/<start>_<end>.mp4": the card's "video_<n>_<channel>_<priority>_<start>_<end>.mp4".
    const size_t at = backed.out.find("  ");
    ASSERT_NE(at, std::string::npos) << backed.out;
    const std::string listed = backed.out.substr(at + 2, backed.out.find('\n', at) - at - 2);
    const std::string copy = root.path("/tmp/smbd/share/varnel_camera_videos/") + listed;
    const std::string name = listed.substr(listed.find('/') + 1);
    const Ran original = run("ls " + quoted(root.path("/mnt/sdcard")) + " | grep -e '_" + name + "$'");
    ASSERT_EQ(original.status, 0) << "the card holds the recording " << name;
    const std::string card_file = root.path("/mnt/sdcard/") + original.out.substr(0, original.out.find('\n'));
    const Ran same = run("cmp " + quoted(card_file) + " " + quoted(copy));
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_TRUE(contains(streams_of(copy), "hevc,2880,1620")) << streams_of(copy);
}

TEST(CameraRoads, APhonesTalkBackReachesTheBoardsSpeaker)
{
    zeltest::TempRoot root;
    Camera camera(root, {"--card", "none"});
    ASSERT_TRUE(camera.up()) << camera.out() << camera.app_log().substr(0, 6000);
    const std::string talk = camera.command("talk");
    ASSERT_FALSE(talk.empty()) << camera.out();

    const Ran talked = run(talk);
    ASSERT_EQ(talked.status, 0) << talked.out << root.read_file("/tmp/talk_phone.log");
    std::cout << talked.out;
    EXPECT_TRUE(contains(talked.out, "after 263 answered 0")) << talked.out;
    // What the speaker played while the phone talked: the phone's 3 s of a 1000 Hz tone.
    const std::string played = talk.substr(talk.rfind(' ') + 1);
    const std::string stat =
        run("sox -t raw -r 16000 -e signed -b 16 -c 1 " + quoted(played) + " -n stat").out;
    const auto number = [&](const std::string &label) {
        const size_t at = stat.find(label);
        return at == std::string::npos ? -1.0 : std::atof(stat.c_str() + stat.find(':', at) + 1);
    };
    EXPECT_GE(number("Length (seconds)"), 2.7) << stat;
    EXPECT_NEAR(number("Rough   frequency"), 1000.0, 100.0) << stat;
    EXPECT_GT(number("RMS     amplitude"), 0.02) << stat;
}

TEST(CameraRoads, APhonePlaysARecordingOfTheCardBack)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the test card is a loop mount, which needs root";
    zeltest::TempRoot root;
    Camera camera(root, {});
    ASSERT_TRUE(camera.up()) << camera.out() << camera.app_log().substr(0, 6000);
    if (!camera.has_card())
        GTEST_SKIP() << camera.out();
    const std::string play = camera.command("play");
    ASSERT_FALSE(play.empty()) << camera.out();
    // The first index period closes within a minute of the start.
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return contains(run(camera.command("recordings")).out, "\"kind\": \"video\""); }, 90s));

    const Ran played = run(play);
    ASSERT_EQ(played.status, 0) << played.out << root.read_file("/tmp/play_phone.log");
    std::cout << played.out;
    EXPECT_TRUE(contains(played.out, "\"status\": \"filefound\"")) << played.out;
    const std::string video = play.substr(play.rfind(' ') + 1);
    const std::string streams = streams_of(video);
    EXPECT_TRUE(contains(streams, "hevc,2880,1620") || contains(streams, "hevc,2560,1440")) << "the board's main stream: "
                                                                                   << streams;
    EXPECT_TRUE(decodes(video)) << run("ffmpeg -v error -xerror -i " + quoted(video) + " -f null -").out;
}

} // namespace
