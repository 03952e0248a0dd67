// The whole camera as a user meets it: tests/peers/camera_env.py, the set-up scripts/run starts, with
// this tree's zelmar_app and every outside party on loopback. The program reaches its ready state;
// every command the set-up prints runs as printed and does what it says: a property and the device
// token set through the daemon survive the restart of zelmar_app, a staged motion event reaches the
// daemon as an "event_occured" and, where a test card can be mounted (root), the card's video and
// event indexes hold the period that saw it, also after the restart; the cloud receives clips that
// ffprobe reads; the camera logs in to the P2P servers; SIGTERM ends the program with its status 255
// and stops every party.
// Live view as a user first meets it: a phone (camera_ctl.py watch) links through the P2P servers,
// authorises with the camera's keys and watches: the stream opens on a key frame with its parameter
// sets, ffprobe reads it at the board's main size, no frame is missing, every access unit is the
// board's own, 259 stops it and the phone's slot is freed when it leaves. When the P2P servers go
// down and come back, the camera logs in to them again and a phone links through them and watches.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "camera_env.h"
#include "peer_control.h"

namespace {

using namespace std::chrono_literals;

using cameratest::Camera;
using cameratest::contains;
using cameratest::printed_commands;
using cameratest::Ran;
using cameratest::run;
using cameratest::streams_of;

// The printed command whose last words are `tail`.
std::string command_ending(const std::vector<std::string> &commands, const std::string &tail)
{
    for (const std::string &c : commands)
        if (c.size() >= tail.size() && c.compare(c.size() - tail.size(), tail.size(), tail) == 0)
            return c;
    return {};
}

std::string file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The NAL unit types of an Annex B access unit (H.265 when `hevc`, H.264 otherwise).
std::set<int> nal_types(const std::string &au, bool hevc)
{
    std::set<int> types;
    for (size_t at = au.find(std::string("\0\0\1", 3)); at != std::string::npos && at + 3 < au.size();
         at = au.find(std::string("\0\0\1", 3), at + 3)) {
        const auto head = static_cast<unsigned char>(au[at + 3]);
        types.insert(hevc ? (head >> 1) & 0x3f : head & 0x1f);
    }
    return types;
}

TEST(CameraRun, TheCommandsItPrintsWorkAsPrintedAndSigtermEndsAll)
{
    zeltest::TempRoot root;
    Camera camera(root, {});
    const auto out = [&] { return camera.out(); };
    ASSERT_TRUE(camera.up()) << out() << camera.app_log().substr(0, 6000);
    const std::string app_log = camera.app_log();
    EXPECT_TRUE(contains(app_log, "<app_algo>")) << "every app of a camera in the cloud's care";
    EXPECT_FALSE(contains(app_log, "create function is not part of this build"));
    const bool card = contains(out(), "ready: test card");
    if (!card) {
        EXPECT_TRUE(contains(out(), "ready: no test card (")) << out();
    }

    const std::vector<std::string> commands = printed_commands(out());
    const std::string read_token = command_ending(commands, " token");
    ASSERT_FALSE(read_token.empty()) << out();
    const std::string read_property = command_ending(commands, " get 11 1");
    ASSERT_FALSE(read_property.empty()) << out();
    ASSERT_FALSE(command_ending(commands, " set 11 1 '\"door bell\"'").empty()) << out();
    ASSERT_FALSE(command_ending(commands, " restart").empty()) << out();
    for (const std::string &command : commands) {
        SCOPED_TRACE(command);
        const bool restart = contains(command, " restart");
        if (restart && card) {
            // The minute's period that saw the motion closes before the program is stopped.
            EXPECT_TRUE(zeltest::wait_until(
                [&] { return contains(run(command_ending(commands, " recordings")).out, "\"kind\": \"event\""); },
                120s))
                << run(command_ending(commands, " recordings")).out;
        }
        const Ran r = run(command);
        ASSERT_EQ(r.status, 0) << r.out << out();
        if (command == read_property) {
            EXPECT_EQ(r.out.rfind("11.1 = ", 0), 0u) << r.out;
        } else if (contains(command, " set 11 1 ")) {
            EXPECT_EQ(r.out, "11.1 set, code 0\n");
        } else if (command == read_token) {
            EXPECT_EQ(r.out.rfind("token ", 0), 0u) << r.out;
        } else if (contains(command, " token ")) {
            EXPECT_EQ(r.out, "token_updated " + command.substr(command.rfind(' ') + 1) + "\n");
        } else if (contains(command, " motion")) {
            EXPECT_TRUE(contains(r.out, "\"method\": \"event_occured\"") && contains(r.out, "\"siid\": 8")) << r.out;
        } else if (restart) {
            EXPECT_TRUE(contains(r.out, "zelmar_app restarted, pid ")) << r.out;
        } else if (contains(command, " p2p")) {
            EXPECT_TRUE(contains(r.out, "the camera logged in to P2P servers ")) << r.out;
        } else if (contains(command, " links")) {
            EXPECT_TRUE(contains(r.out, "\"rpc\": {\"connected\": true")) << r.out;
        }
    }

    // The cloud road: the subscribed camera's clips reach the simulated cloud, which decrypts each into
    // an MP4 that ffprobe reads as H.265 video with Opus audio.
    const std::string cloud = command_ending(commands, " cloud");
    EXPECT_TRUE(zeltest::wait_until(
        [&] { return contains(run(cloud).out, "\"path\": \"/common/device/v3/upload\", \"ok\": true"); }, 90s))
        << run(cloud).out;
    const std::string clip = root.path("/tmp/cloud/out/last.mp4");
    EXPECT_TRUE(zeltest::wait_until(
        [&] { // the cloud rewrites the file with every clip: read until one read sees it whole
            const std::string streams = streams_of(clip);
            return contains(streams, "hevc,864,480") && contains(streams, "opus");
        },
        20s))
        << streams_of(clip);

    const std::string set = command_ending(commands, " token zel-demo-token-1");
    ASSERT_FALSE(set.empty()) << out();
    EXPECT_EQ(run(read_property).out, "11.1 = \"door bell\"\n") << "the property set through the daemon is kept";
    EXPECT_EQ(run(read_token).out, "token zel-demo-token-1\n") << "and so is the device token";
    if (card) {
        const std::string listed = run(command_ending(commands, " recordings")).out;
        EXPECT_TRUE(contains(listed, "\"kind\": \"video\"") && contains(listed, "\"motion\": 1")) << listed;
        EXPECT_TRUE(contains(listed, "\"kind\": \"event\"")) << listed;
    }

    const std::string state = root.read_file("/tmp/camera.state");
    ASSERT_EQ(state.rfind("ready ", 0), 0u) << state;
    const pid_t app = static_cast<pid_t>(std::stol(state.substr(6)));
    ASSERT_EQ(kill(camera.process().pid(), SIGTERM), 0);
    const int status = camera.process().wait_exit(60s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << out();
    EXPECT_TRUE(contains(out(), "stopped (zelmar_app status 255)")) << out();
    EXPECT_NE(kill(app, 0), 0) << "zelmar_app is gone";
    EXPECT_FALSE(contains(run("cat /proc/mounts").out, root.dir())) << "the card is unmounted";
}

} // namespace

namespace {

// The camera without a card, up and ready, and the watch command it prints.
struct LiveCamera {
    zeltest::TempRoot root;
    std::unique_ptr<Camera> camera;
    std::string watch;

    std::string out() { return camera->out(); }
    void start()
    {
        camera = std::make_unique<Camera>(root, std::vector<std::string>{"--card", "none"});
        ASSERT_TRUE(camera->up()) << out() << camera->app_log().substr(0, 6000);
        for (const std::string &c : printed_commands(out()))
            if (contains(c, " watch "))
                watch = c;
        ASSERT_FALSE(watch.empty()) << out();
    }
};

// The main frequency of 16-bit mono PCM from the spacing of its rising zero crossings (a pure tone).
double tone_hz(const std::string &pcm, int rate)
{
    std::vector<int16_t> s(pcm.size() / 2);
    memcpy(s.data(), pcm.data(), s.size() * 2);
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = static_cast<size_t>(rate / 10); i < s.size(); i++) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            const double t = static_cast<double>(i - 1) + static_cast<double>(-s[i - 1]) / (s[i] - s[i - 1]);
            first = first < 0 ? t : first;
            last = t;
            crossings++;
        }
    }
    return crossings > 1 ? (crossings - 1) * rate / (last - first) : 0;
}

TEST(CameraLive, APhoneWatchesLiveViewThroughTheP2pServers)
{
    LiveCamera live;
    ASSERT_NO_FATAL_FAILURE(live.start());
    zeltest::TempRoot &root = live.root;
    zeltest::ChildProcess &camera = live.camera->process();
    const auto out = [&] { return live.out(); };
    const std::string &watch = live.watch;
    const std::string video = watch.substr(watch.rfind(' ') + 1);

    const Ran watched = run(watch);
    ASSERT_EQ(watched.status, 0) << watched.out << root.read_file("/tmp/watch_phone.log");
    std::cout << watched.out;
    EXPECT_TRUE(contains(watched.out, "259 stopped the video: 0 frames") ||
                contains(watched.out, "259 stopped the video: 1 frames"))
        << watched.out;
    EXPECT_TRUE(contains(watched.out, "the phone disconnected and the camera freed its slot")) << watched.out;

    // ffprobe reads the stream as the board's main stream.
    const std::string probed = streams_of(video);
    const bool hevc = probed.rfind("hevc,", 0) == 0;
    ASSERT_TRUE(hevc || probed.rfind("h264,", 0) == 0) << probed;
    std::string size = probed.substr(probed.find(',') + 1, probed.find('\n') - probed.find(',') - 1);
    // The board's streams are made beside its prompt sounds.
    const std::string board_file = std::string(ZEL_BOARD_SOUND_DIR) + "/../main_" +
                                   size.replace(size.find(','), 1, "x") + (hevc ? ".h265" : ".h264");
    const std::string board = file_bytes(board_file);
    ASSERT_FALSE(board.empty()) << "no board main stream " << board_file;

    const std::string stream = file_bytes(video);
    const std::string frames_text = file_bytes(video + ".frames.json");
    const zeltest::Json frames = zeltest::parse_json(frames_text);
    ASSERT_TRUE(frames && json_object_is_type(frames.get(), json_type_array)) << frames_text.substr(0, 200);
    const size_t n = json_object_array_length(frames.get());
    EXPECT_GE(n, 60u) << "8 s at 20 frames a second";
    size_t at = 0;
    int64_t last_seq = -1;
    for (size_t i = 0; i < n; i++) {
        json_object *f = json_object_array_get_idx(frames.get(), i);
        const int64_t seq = json_object_get_int64(json_object_array_get_idx(f, 0));
        const int64_t length = json_object_get_int64(json_object_array_get_idx(f, 1));
        ASSERT_GT(length, 0) << "frame " << i << " is whole";
        if (i > 0) {
            ASSERT_EQ(seq, last_seq + 1) << "contiguous at " << i;
        }
        last_seq = seq;
        ASSERT_LE(at + static_cast<size_t>(length), stream.size());
        const std::string au = stream.substr(at, static_cast<size_t>(length));
        at += static_cast<size_t>(length);
        if (i == 0) {
            const std::set<int> types = nal_types(au, hevc);
            const std::set<int> want = hevc ? std::set<int>{32, 33, 34} : std::set<int>{7, 8, 5};
            for (int t : want)
                EXPECT_TRUE(types.count(t)) << "the first frame holds NAL unit type " << t;
            if (hevc) {
                EXPECT_TRUE(types.count(19) || types.count(20) || types.count(21)) << "the first frame is a key frame";
            }
        }
        ASSERT_NE(board.find(au), std::string::npos) << "access unit " << i << " (seq " << seq << ") is the board's";
    }
    EXPECT_EQ(at, stream.size()) << "the file is the frames, in order";

    ASSERT_EQ(kill(camera.pid(), SIGTERM), 0);
    const int status = camera.wait_exit(60s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << out();
}

// Three phones at once on the sub stream with live audio: each gets the sub stream's frames without a
// gap, ffprobe reads them at 864 x 480 and the audio decodes to the board's 440 Hz tone.
TEST(CameraLive, ThreePhonesWatchTheSubStreamWithAudio)
{
    LiveCamera live;
    ASSERT_NO_FATAL_FAILURE(live.start());
    const std::string video = live.root.path("/tmp/phones.video");
    const Ran watched = run(live.watch.substr(0, live.watch.find(" watch ")) + " watch 4 '" + video +
                            "' --phones 3 --sub --audio");
    ASSERT_EQ(watched.status, 0) << watched.out << live.root.read_file("/tmp/watch_phone1.log");
    std::cout << watched.out;
    EXPECT_TRUE(contains(watched.out, "the 3 phones disconnected and the camera freed their slots")) << watched.out;
    for (int phone = 0; phone < 3; phone++) {
        SCOPED_TRACE("phone " + std::to_string(phone));
        const std::string out = phone == 0 ? video : video + ".phone" + std::to_string(phone);
        const zeltest::Json frames = zeltest::parse_json(file_bytes(out + ".frames.json"));
        ASSERT_TRUE(frames && json_object_is_type(frames.get(), json_type_array));
        std::vector<int64_t> sub;
        for (size_t i = 0; i < json_object_array_length(frames.get()); i++) {
            json_object *f = json_object_array_get_idx(frames.get(), i);
            if (((json_object_get_int64(json_object_array_get_idx(f, 7)) >> 17) & 0xF) == 5)
                sub.push_back(json_object_get_int64(json_object_array_get_idx(f, 0)));
        }
        ASSERT_GE(sub.size(), 20u) << "frames with resolution code 5 (864 x 480)";
        for (size_t i = 1; i < sub.size(); i++)
            ASSERT_EQ(sub[i], sub[i - 1] + 1) << "the sub stream without a gap at " << i;
        const Ran probe = run("ffprobe -v error -show_entries stream=width,height -of csv=p=0 '" + out + "'");
        EXPECT_EQ(probe.out, "864,480\n") << probe.out;
    }
    const Ran pcm = run("ffmpeg -hide_banner -v error -xerror -i '" + video + ".ogg' -f s16le -ac 1 -ar 16000 -y '" +
                        video + ".pcm'");
    ASSERT_EQ(pcm.status, 0) << pcm.out;
    const std::string samples = file_bytes(video + ".pcm");
    EXPECT_GE(samples.size(), 2u * 16000) << "at least a second of audio";
    EXPECT_NEAR(tone_hz(samples, 16000), 440.0, 10.0);

    ASSERT_EQ(kill(live.camera->process().pid(), SIGTERM), 0);
    EXPECT_NE(live.camera->process().wait_exit(60s), -1);
}

TEST(CameraLive, AfterTheP2pServersRestartTheCameraLogsInAgainAndAPhoneWatches)
{
    LiveCamera live;
    ASSERT_NO_FATAL_FAILURE(live.start());
    const std::string ctl = live.watch.substr(0, live.watch.find(" watch "));
    ASSERT_EQ(run(ctl + " p2p").status, 0) << "logged in before the restart";
    const Ran restarted = run(ctl + " p2p-restart");
    ASSERT_EQ(restarted.status, 0) << restarted.out << live.out();
    std::cout << restarted.out;
    EXPECT_TRUE(contains(restarted.out, "the camera logged in again after")) << restarted.out;

    const std::string video = live.root.path("/tmp/after_restart.video");
    const Ran watched = run(ctl + " watch 3 '" + video + "'");
    ASSERT_EQ(watched.status, 0) << watched.out << live.root.read_file("/tmp/watch_phone.log");
    const zeltest::Json frames = zeltest::parse_json(file_bytes(video + ".frames.json"));
    ASSERT_TRUE(frames && json_object_is_type(frames.get(), json_type_array));
    EXPECT_GE(json_object_array_length(frames.get()), 30u) << "3 s at 20 frames a second";

    ASSERT_EQ(kill(live.camera->process().pid(), SIGTERM), 0);
    EXPECT_NE(live.camera->process().wait_exit(60s), -1);
}

} // namespace
