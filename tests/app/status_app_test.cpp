// The status app on the agent hub with the Python agent peer, the "nas_ev" loop, the simulated speaker
// (what it played is matched byte for byte against the sox prompt files), the simulated LEDs and scaled
// timers: the first state by bind and power, the pairing prompts and time-outs, the PIN code, SD-card
// prompts, LED switches, the upgrade preparation that nothing interrupts, the factory reset (in a child,
// under a path root with a blank and a quote) and its refusal during an upgrade, the state rule under a
// racing key, and the end of the app while its timers fire.
#include "media_test_env.h"

#include "app/nas/ko_nas_ev.h"
#include "agent_server.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_peripheral.h"
#include "zel_peripheral_test.h"
#include "zel_sound_play.h"
#include "zel_status.h"
#include "zel_status_test.h"
#include "zel_system_power_test.h"
#include "zelmar/zel_path.h"
#include "zelmar/zel_shell.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <sstream>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

std::atomic<int> g_releases{0};
std::atomic<int64_t> g_release_us{0};

} // namespace

// The main program's release before an upgrade, as the status app sees it: called, and when.
extern "C" void release_resource(void)
{
    g_release_us = mediatest::now_us();
    ++g_releases;
}

namespace {

using namespace std::chrono_literals;

enum { kBound = 1, kUnbound = 0 };

// The prompts the speaker played, in order, each recognised by its whole file; a prompt still playing
// at the end is not counted.
std::vector<int> spoken()
{
    static const std::vector<std::vector<uint8_t>> files = [] {
        std::vector<std::vector<uint8_t>> f;
        for (const sound_info_t &info : sound_info)
            f.push_back(mediatest::prompt_bytes(info.name));
        return f;
    }();
    const std::vector<uint8_t> audio = board_test_speaker_audio();
    std::vector<int> out;
    for (size_t at = 0; at < audio.size();) {
        bool found = false;
        for (size_t id = 0; id < files.size() && !found; ++id) {
            const std::vector<uint8_t> &f = files[id];
            if (!f.empty() && f.size() <= audio.size() - at && std::equal(f.begin(), f.end(), audio.begin() + at)) {
                out.push_back(static_cast<int>(id));
                at += f.size();
                found = true;
            }
        }
        if (!found)
            break;
    }
    return out;
}

std::string text(const std::vector<int> &ids)
{
    std::string s;
    for (int id : ids)
        s += std::to_string(id) + " ";
    return s;
}

// Whether `text` holds each of `parts`, one after the other.
bool in_order(const std::string &text, const std::vector<std::string> &parts)
{
    size_t at = 0;
    for (const std::string &part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos)
            return false;
        at += part.size();
    }
    return true;
}

bool starts_with(const std::vector<int> &all, const std::vector<int> &head)
{
    return all.size() >= head.size() && std::equal(head.begin(), head.end(), all.begin());
}

bool led_is(int led, int mode, int on_ms = 0, int off_ms = 0)
{
    const periph_led_state s = periph_test_led(led);
    return s.mode == mode && (mode != PERIPH_LED_BLINK || (s.on_ms == on_ms && s.off_ms == off_ms));
}

std::string setting(const char *key)
{
    char value[128];
    memset(value, 0, sizeof value);
    zel_api_db_get_value(key, value, sizeof value);
    return value;
}

// Monotonic microseconds of each "play_sound" of prompt `id`'s file.
std::vector<int64_t> play_times(int id)
{
    const std::string call = "play_sound(" + std::to_string(mediatest::prompt_bytes(sound_info[id].name).size()) + ")";
    std::vector<int64_t> at;
    for (const sim::TimedCall &c : board_test_timed_calls())
        if (c.text == call)
            at.push_back(c.mono_us);
    return at;
}

class StatusApp : public ::testing::Test {
protected:
    // The settings, the agent hub, the speaker queue and (with `loop`) "nas_ev", then app 7.
    void start(int bound, double scale, bool loop = true, const char *power = "1")
    {
        env_ = std::make_unique<mediatest::Env>();
        ASSERT_EQ(zel_api_db_set_value("NVM.IPC:bind_status", bound ? "1" : "0", 1, 1), 0);
        ASSERT_EQ(zel_api_db_set_value("NVM.IPC:power", power, static_cast<int>(strlen(power)), 1), 0);
        // A recording "ifconfig" first on PATH.
        const std::string bin = env_->root().path("/bin");
        mkdir(bin.c_str(), 0755);
        env_->root().write_file("/bin/ifconfig",
                                "#!/bin/sh\necho \"$@\" >> '" + env_->root().path("/tmp/ifconfig.calls") + "'\n");
        chmod((bin + "/ifconfig").c_str(), 0755);
        old_path_ = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (bin + ":" + old_path_).c_str(), 1);
        zel_system_test_refuse_reboot(true);
        ASSERT_EQ(zel_api_peripheral_init(), 0);
        ASSERT_EQ(zel_sound_play_init(), 0);
        zel_status_test_set_time_scale(scale);
        if (loop)
            start_loop();
        periph_test_clear_calls();
        ASSERT_NE(status_app_create(0), nullptr);
    }
    void start_loop()
    {
        ASSERT_EQ(ko_nas_ev_start(), 0);
        loop_ = true;
    }
    void TearDown() override
    {
        zel_status_deinit();
        if (loop_)
            ko_nas_ev_stop(nullptr, nullptr);
        zel_sound_play_deinit();
        if (!old_path_.empty())
            setenv("PATH", old_path_.c_str(), 1);
        env_.reset();
    }
    static void send(const std::vector<std::string> &messages) { mediatest::agent_send(messages); }
    static bool state_becomes(int state, std::chrono::milliseconds limit = 5s)
    {
        return zeltest::wait_until([&] { return zel_ipc_state_get() == state; }, limit);
    }
    static bool heard(const std::vector<int> &want, std::chrono::milliseconds limit = 10s)
    {
        return zeltest::wait_until([&] { return starts_with(spoken(), want); }, limit);
    }
    std::unique_ptr<mediatest::Env> env_;
    std::string old_path_;
    bool loop_ = false;
};

TEST_F(StatusApp, BoundAndAwakeTheSecondLedBlinksSlowly)
{
    start(kBound, 1.0);
    ASSERT_TRUE(state_becomes(STATUS_NORMAL)) << zel_ipc_state_get();
    EXPECT_TRUE(led_is(2, PERIPH_LED_BLINK, 4000, 1000));
    EXPECT_TRUE(led_is(1, PERIPH_LED_OFF));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(spoken().empty()) << text(spoken());
}

TEST_F(StatusApp, BoundAndAsleepBothLedsAreOffAndTakenOver)
{
    start(kBound, 1.0, true, "0");
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    EXPECT_TRUE(led_is(1, PERIPH_LED_OFF) && periph_test_led(1).taken_over);
    EXPECT_TRUE(led_is(2, PERIPH_LED_OFF) && periph_test_led(2).taken_over);
}

TEST_F(StatusApp, UnboundTheIntroIsSpokenOnceThenWaitingConnectionRepeats)
{
    start(kUnbound, 0.1); // first after 0.3 s, then every 2 s
    ASSERT_TRUE(state_becomes(STATUS_WAIT_NETWORK));
    EXPECT_TRUE(led_is(1, PERIPH_LED_BLINK, 100, 200));
    EXPECT_TRUE(led_is(2, PERIPH_LED_OFF));
    EXPECT_TRUE(heard({7, 8, 2, 2}, 8s)) << text(spoken());
    // The first turn queues 7, 8 and 2 together; the second comes 2 s after it.
    const std::vector<int64_t> first = play_times(7), waiting = play_times(2);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_GE(waiting.size(), 2u);
    EXPECT_NEAR(static_cast<double>(waiting[1] - first[0]), 2e6, 0.3e6 * zeltest::time_scale());
}

// Calls made before the loop runs wait for it: no timer fires without "nas_ev", all of them once it runs.
TEST_F(StatusApp, WithoutTheLoopNoTimerFiresAndTheQueuedOnesRunOnceItStarts)
{
    start(kUnbound, 0.01, false);
    ASSERT_TRUE(state_becomes(STATUS_WAIT_NETWORK));
    std::this_thread::sleep_for(1s); // ample for a first prompt after 30 ms
    EXPECT_TRUE(spoken().empty()) << text(spoken());
    start_loop();
    EXPECT_TRUE(heard({7, 8, 2}, 5s)) << text(spoken());
}

TEST_F(StatusApp, PairingPromptsAndTheBindTimeOutMovedByFiveMinutes)
{
    start(kUnbound, 0.004); // the bind time-out after 7.2 s, five minutes are 1.2 s
    ASSERT_TRUE(state_becomes(STATUS_WAIT_NETWORK));
    const auto armed = std::chrono::steady_clock::now();
    send({"set_dev_status=wifi_connecting"});
    ASSERT_TRUE(state_becomes(STATUS_WIFI_CONNECTING));
    EXPECT_TRUE(led_is(2, PERIPH_LED_BLINK, 100, 200));
    EXPECT_TRUE(led_is(1, PERIPH_LED_OFF));
    send({"set_dev_status=wifi_connected"});
    ASSERT_TRUE(state_becomes(STATUS_WAIT_CLOUD));
    ASSERT_LT(std::chrono::steady_clock::now() - armed, 6s) << "too slow to see the time-out move";
    ASSERT_TRUE(zeltest::wait_until([] { return zel_ipc_state_get() >= STATUS_BIND_TIMEOUT; }, 10s));
    const double fired = std::chrono::duration<double>(std::chrono::steady_clock::now() - armed).count();
    EXPECT_GT(fired, 7.8) << "the remaining time + 1.2 s: 8.4 s in all";
    EXPECT_LT(fired, 8.4 + 0.3 * zeltest::time_scale());

    ASSERT_TRUE(state_becomes(STATUS_BIND_FAILED));
    EXPECT_EQ(env_->root().read_file("/tmp/ifconfig.calls"), "wlan0 down\n");
    EXPECT_TRUE(led_is(1, PERIPH_LED_BLINK, 100, 200));
    EXPECT_TRUE(led_is(2, PERIPH_LED_OFF));
    // Prompt 3, 4, then "binding_fail" again and again, after whatever waiting prompts were queued.
    EXPECT_TRUE(zeltest::wait_until(
        [] {
            const std::vector<int> s = spoken();
            const auto three = std::find(s.begin(), s.end(), 3);
            return three != s.end() && three + 1 != s.end() && three[1] == 4 && std::count(three, s.end(), 0) >= 2 &&
                   std::all_of(three + 2, s.end(), [](int id) { return id == 0; });
        },
        20s))
        << text(spoken());
}

TEST_F(StatusApp, CloudConnectedMarksTheDeviceBoundOnceAndThenOnlySetsTheLed)
{
    start(kUnbound, 1.0);
    ASSERT_TRUE(state_becomes(STATUS_WAIT_NETWORK));
    send({"set_dev_status=cloud_connected"});
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    EXPECT_EQ(setting("NVM.IPC:bind_status"), "1");
    EXPECT_TRUE(heard({1}));
    EXPECT_TRUE(led_is(2, PERIPH_LED_ON));
    periph_test_clear_calls();
    send({"set_dev_status=cloud_connected"});
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            for (const std::string &c : periph_test_calls())
                if (c.rfind("zel_api_led_on(2", 0) == 0)
                    return true;
            return false;
        },
        5s));
    std::this_thread::sleep_for(3500ms); // past the first wait-connection prompt had its timer lived on
    EXPECT_EQ(spoken(), std::vector<int>{1});
}

TEST_F(StatusApp, PincodeIsSpokenAtOnceAfterFifteenSecondsAndThenEveryTwenty)
{
    start(kBound, 0.1);
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    ASSERT_EQ(zel_api_db_set_value("NVM.IPC:pincode", "4071", 4, 1), 0);
    send({"set_dev_status=pincode_start"});
    const std::vector<int> once = {6, 13, 9, 16, 10};
    std::vector<int> thrice;
    for (int i = 0; i < 3; ++i)
        thrice.insert(thrice.end(), once.begin(), once.end());
    ASSERT_TRUE(heard(thrice, 10s)) << text(spoken());
    const std::vector<int64_t> at = play_times(6);
    ASSERT_GE(at.size(), 3u);
    EXPECT_NEAR(static_cast<double>(at[1] - at[0]), 1.5e6, 0.3e6 * zeltest::time_scale());
    EXPECT_NEAR(static_cast<double>(at[2] - at[1]), 2.0e6, 0.3e6 * zeltest::time_scale());
}

TEST_F(StatusApp, PincodeIsNotSpokenAfterAFailedPairingNorForAnythingButOneToFourDigits)
{
    start(kBound, 0.1);
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    for (const char *bad : {"-123", "12345", "12a4", "", " 123"})
        EXPECT_EQ(start_show_pincode(bad), -1) << bad;
    ASSERT_EQ(zel_api_db_set_value("NVM.IPC:pincode", "-123", 4, 1), 0);
    send({"set_dev_status=pincode_start"});
    zel_status_test_set_state(STATUS_BIND_FAILED);
    EXPECT_EQ(start_show_pincode("4071"), 0);
    std::this_thread::sleep_for(2500ms); // past a first repeat
    EXPECT_TRUE(spoken().empty()) << text(spoken());
    zel_status_test_set_state(STATUS_NORMAL);
    EXPECT_EQ(start_show_pincode("7"), 0);
    EXPECT_TRUE(heard({6, 9, 9, 9, 16}));
}

TEST_F(StatusApp, SdcardPromptsOnlyInNormalStateAndOncePerChange)
{
    start(kBound, 1.0);
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    send({"set_sdcard_cmd=1", "set_sdcard_cmd=1", "set_sdcard_cmd=2", "set_sdcard_cmd=3", "set_sdcard_cmd=3"});
    EXPECT_TRUE(heard({31, 32, 33, 33})) << text(spoken());
    zel_status_test_set_state(STATUS_WAIT_CLOUD);
    send({"set_sdcard_cmd=1", "set_sdcard_cmd=3"});
    // The card status: 15 ignores 10, 44 takes it.
    send({"sdcard_status=3", "sdcard_status=10"});
    zel_sdcard_check_after_bind();
    send({"set_sdcard_message=10"});
    zel_sdcard_check_after_bind();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(spoken(), (std::vector<int>{31, 32, 33, 33, 33}));
}

// Junk from an outside app: values of the wrong kind and unknown or long sub-commands change nothing,
// and the next good message is served.
TEST_F(StatusApp, JunkMessagesChangeNothing)
{
    start(kBound, 1.0);
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    send({"set_dev_status=12345", "set_dev_status={\"dev_reset\":1}", "set_dev_status=DEV_RESET", "set_dev_status=",
          "set_dev_status=" + std::string(1000, 'd'), "sdcard_status=[1,2]", "set_sdcard_message={}"});
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(zel_ipc_state_get(), STATUS_NORMAL);
    send({"set_dev_status=qrcode_ding"});
    EXPECT_TRUE(heard({25}));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(spoken(), std::vector<int>{25});
}

TEST_F(StatusApp, LedOffTakesBothLedsAndLedOnGivesThemBack)
{
    start(kBound, 1.0);
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    send({"set_dev_status=led_off"});
    ASSERT_TRUE(zeltest::wait_until([] { return led_is(1, PERIPH_LED_OFF) && periph_test_led(1).taken_over; }, 5s));
    EXPECT_TRUE(led_is(2, PERIPH_LED_OFF) && periph_test_led(2).taken_over);
    EXPECT_EQ(setting("NVM.IPC:led_status"), "0");
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    send({"set_dev_status=led_on"});
    ASSERT_TRUE(zeltest::wait_until([] { return led_is(2, PERIPH_LED_ON); }, 5s));
    EXPECT_FALSE(periph_test_led(2).taken_over);
    EXPECT_EQ(setting("NVM.IPC:led_status"), "1");
}

TEST_F(StatusApp, UpgradeReleasesAfterSevenSecondsAndThenNothingMovesIt)
{
    start(kBound, 0.1); // seven seconds are 0.7 s
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    const int64_t sent = mediatest::now_us();
    const std::string out =
        mediatest::agent_send({"--register", "set_release_resource_over", "--wait", "2", "set_dev_status=start_ota"});
    EXPECT_NE(out.find("recv {\"method\":\"set_release_resource_over\""), std::string::npos) << out;
    EXPECT_EQ(g_releases, 1);
    EXPECT_GE(g_release_us - sent, 700000);
    EXPECT_EQ(zel_ipc_state_get(), STATUS_OTA);
    EXPECT_TRUE(led_is(1, PERIPH_LED_BLINK, 200, 800));
    EXPECT_TRUE(led_is(2, PERIPH_LED_OFF));
    EXPECT_TRUE(heard({21}));

    send({"set_dev_status=dev_reboot", "set_dev_status=led_on", "set_dev_status=dev_reset"});
    periph_test_press_key(0, 1);
    std::this_thread::sleep_for(1500ms); // three turns of the state thread
    EXPECT_EQ(zel_ipc_state_get(), STATUS_OTA);
    EXPECT_TRUE(led_is(1, PERIPH_LED_BLINK, 200, 800)) << "no LED change during an upgrade";
    EXPECT_EQ(spoken(), std::vector<int>{21});
}

const char *const kResetFiles[] = {"/mnt/data/operator/config", "/mnt/data/auth.txt", "/mnt/data/config.db",
                                   "/mnt/data/tolk_conf.db"};

// The body of a child that starts the app in the current root, sends `command` and waits for the
// reboot; once `prompts` have played it writes "spoken: <ids>" and the LEDs on stderr.
void run_until_reboot(const char *command, const std::vector<int> &prompts)
{
    zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str());
    zel_api_db_init();
    agent_server_init();
    zel_api_peripheral_init();
    zel_sound_play_init();
    zel_status_test_set_time_scale(0.5); // four seconds before the reboot are two
    ko_nas_ev_start();
    status_app_create(0);
    zel_api_db_set_value("NVM.IPC:motor", "[30,80]", 7, 0); // a head turned just before, not saved yet
    std::thread([prompts] {
        if (zeltest::wait_until([&] { return starts_with(spoken(), prompts); }, 10s)) {
            const periph_led_state one = periph_test_led(1), two = periph_test_led(2);
            fprintf(stderr, "spoken: %s\nleds: %d %d %d %d\n", text(prompts).c_str(), one.mode, one.taken_over,
                    two.mode, two.taken_over);
        }
    }).detach();
    handle_ipc_status_message(17, command);
    for (;;)
        pause();
}

// This test program again, as a child in the current root, running StatusChild with `command`; its
// wait status (-1 when it did not end in time) and its output.
int run_child(const zeltest::TempRoot &root, const std::string &command, const std::string &prompts, std::string *out)
{
    zeltest::ChildProcess child({ZEL_STATUS_TEST_PATH, "--gtest_filter=StatusChild.RunsUntilTheReboot"},
                                {"ZELMAR_STATUS_CHILD=" + command, "ZELMAR_STATUS_CHILD_PROMPTS=" + prompts},
                                root.path("/tmp/child.log"));
    const int status = child.wait_exit(30s);
    *out = root.read_file("/tmp/child.log");
    return status;
}

TEST_F(StatusApp, ResetDuringAnAutomaticUpgradeIsRefusedAndKeepsEveryFile)
{
    start(kBound, 1.0);
    ASSERT_TRUE(state_becomes(STATUS_NORMAL));
    for (const char *f : kResetFiles)
        env_->root().write_file(f, "keep");
    send({"set_dev_status=start_auto_ota"});
    ASSERT_EQ(zel_ipc_state_get(), STATUS_AUTO_OTA);
    EXPECT_EQ(setting("NVM.IPC:motor_auto_ota_flag"), "1");
    EXPECT_EQ(g_releases, 1);
    std::this_thread::sleep_for(1s); // the upgrade flag is set on the state thread's next turn
    periph_test_press_key(0, 1);
    send({"set_dev_status=dev_reset"});
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(zel_ipc_state_get(), STATUS_AUTO_OTA);
    for (const char *f : kResetFiles)
        EXPECT_TRUE(env_->root().exists(f)) << f;
    EXPECT_TRUE(spoken().empty()) << text(spoken());
}

// Not a case of its own: the child that the reset and restart cases start (skipped otherwise).
TEST(StatusChild, RunsUntilTheReboot)
{
    const char *command = getenv("ZELMAR_STATUS_CHILD");
    if (!command)
        GTEST_SKIP() << "run by the reset and restart cases";
    std::vector<int> prompts;
    std::istringstream words(getenv("ZELMAR_STATUS_CHILD_PROMPTS") ? getenv("ZELMAR_STATUS_CHILD_PROMPTS") : "");
    for (int id; words >> id;)
        prompts.push_back(id);
    run_until_reboot(command, prompts);
}

// The factory reset runs in a child under a root whose path holds a blank and a quote (next to a
// folder that an unquoted "rm -rf" would take): the four files go, nothing else, the prompts play, the
// system log reaches the card unchanged, and the simulated reboot ends the child with status 0.
TEST(StatusReset, ResetRemovesTheFilesCopiesTheLogAndReboots)
{
    char base_templ[] = "/tmp/zelmar-status-XXXXXX";
    ASSERT_NE(mkdtemp(base_templ), nullptr);
    const std::string base = base_templ;
    const std::string odd = base + "/a b'c";
    ASSERT_EQ(mkdir((base + "/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    const std::string old_tmpdir = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    setenv("TMPDIR", odd.c_str(), 1);
    {
        apptest::Env env;
        const zeltest::TempRoot &root = env.root;
        ASSERT_EQ(zeltest::run_command("cp -R '" ZEL_BOARD_SOUND_DIR "' " + zel_shell_path("/mnt/data/sound")), 0);
        ASSERT_EQ(mkdir(root.path("/mnt/data/operator/config").c_str(), 0755), 0);
        root.write_file("/mnt/data/operator/config/wifi.conf", "ssid");
        for (size_t i = 1; i < std::size(kResetFiles); ++i)
            root.write_file(kResetFiles[i], "data");
        root.write_file("/mnt/data/keep.txt", "keep");
        ASSERT_EQ(mkdir(root.path("/mnt/sdcard/log").c_str(), 0755), 0);
        std::string messages;
        for (int i = 0; i < 2000; ++i)
            messages += "line " + std::to_string(i) + " of the system log\n";
        root.write_file("/tmp/messages", messages);
        ASSERT_EQ(zel_api_db_init(), 0);
        ASSERT_EQ(zel_api_db_set_value("NVM.IPC:bind_status", "1", 1, 1), 0);
        ASSERT_EQ(zel_api_db_set_value("NVM.IPC:power", "0", 1, 1), 0);
        ASSERT_EQ(zel_api_db_deinit(), 0);

        std::string out;
        const int status = run_child(root, "dev_reset", "19 20", &out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << out;
        EXPECT_TRUE(in_order(out, {"spoken: 19 20 \n", "\n[system] reboot\n"})) << out;

        for (const char *f : kResetFiles)
            EXPECT_FALSE(root.exists(f)) << f;
        EXPECT_TRUE(root.exists("/mnt/data/keep.txt"));
        std::string copy;
        if (DIR *d = opendir(root.path("/mnt/sdcard/log").c_str())) {
            for (dirent *e; (e = readdir(d));)
                if (strncmp(e->d_name, "log_RESET_message-", 18) == 0)
                    copy = e->d_name;
            closedir(d);
        }
        ASSERT_FALSE(copy.empty());
        EXPECT_EQ(root.read_file("/mnt/sdcard/log/" + copy), messages);
        ASSERT_EQ(zel_api_db_init(), 0);
        EXPECT_EQ(setting("NVM.IPC:bind_status"), "0") << "the default";
        EXPECT_EQ(setting("NVM.IPC:power"), "1") << "the default";
        zel_api_db_deinit();
    }
    if (old_tmpdir.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", old_tmpdir.c_str(), 1);
    struct stat st;
    EXPECT_EQ(stat((base + "/a").c_str(), &st), 0) << "the folder beside the root is untouched";
    zeltest::run_command("rm -rf " + zel_shell_quote(base));
}

// The restart, in a child: LED 1 lit and LED 2 dark (both taken over), "booting", the system log on
// the card, the watchdog opened, the simulated reboot; the settings saved first, no file touched.
TEST(StatusRestart, RestartCopiesTheLogAndReboots)
{
    apptest::Env env;
    ASSERT_EQ(zeltest::run_command("cp -R '" ZEL_BOARD_SOUND_DIR "' " + zel_shell_path("/mnt/data/sound")), 0);
    for (const char *f : kResetFiles)
        env.root.write_file(f, "keep");
    ASSERT_EQ(mkdir(env.root.path("/mnt/sdcard/log").c_str(), 0755), 0);
    env.root.write_file("/tmp/messages", "the system log\n");
    env.root.write_file("/dev/watchdog", ""); // opened below the path root (it takes no time-out)
    std::string out;
    const int status = run_child(env.root, "dev_reboot", "20", &out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << out;
    EXPECT_TRUE(in_order(out, {"spoken: 20 \nleds: 1 1 0 1\n", "open watch ok", "\n[system] reboot\n"})) << out;
    for (const char *f : kResetFiles)
        EXPECT_TRUE(env.root.exists(f)) << f;
    std::string copy;
    if (DIR *d = opendir(env.root.path("/mnt/sdcard/log").c_str())) {
        for (dirent *e; (e = readdir(d));)
            if (strncmp(e->d_name, "log_RESTART_message-", 20) == 0)
                copy = e->d_name;
        closedir(d);
    }
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(env.root.read_file("/mnt/sdcard/log/" + copy), "the system log\n");
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(setting("NVM.IPC:motor"), "[30,80]") << "the head's position outlives the restart";
    zel_api_db_deinit();
}

// The key thread and "start_ota" race: once the upgrade state is set, the reset can never follow it.
TEST_F(StatusApp, KeyAndUpgradeRacingNeverGiveResetAfterUpgrade)
{
    start(kBound, 1.0);
    zel_status_test_hold_states(true);
    for (int round = 0; round < 1000; ++round) {
        zel_status_test_set_state(STATUS_NORMAL);
        std::atomic<int> go{0};
        int ota_set = 0;
        std::thread key([&] {
            ++go;
            while (go < 2) {
            }
            key_event_reset_cb(0, 1);
        });
        ++go;
        while (go < 2) {
        }
        ota_set = zel_ipc_state_set(STATUS_OTA);
        key.join();
        const int final_state = zel_ipc_state_get();
        ASSERT_EQ(final_state, ota_set ? STATUS_OTA : STATUS_RESETTING) << "round " << round;
    }
    zel_status_test_set_state(STATUS_NORMAL);
}

// The end of the app while every timer runs and other threads set states and messages: nothing is
// touched after it is freed (AddressSanitizer), no timer fires after the end, and the app starts again.
TEST_F(StatusApp, DeinitUnderRunningTimersAndBusyThreads)
{
    start(kUnbound, 0.001);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        for (int i = 0; !stop; ++i) {
            zel_ipc_state_set(i % 2 ? STATUS_BIND_TIMEOUT : STATUS_INIT);
            start_show_pincode("1234");
            handle_ipc_status_message(17, "wifi_connected");
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int cycle = 0; cycle < 20; ++cycle) {
        std::this_thread::sleep_for(50ms);
        ASSERT_EQ(zel_status_deinit(), 0);
        EXPECT_EQ(zel_ipc_state_get(), -1);
        ASSERT_EQ(zel_status_init(), 0);
    }
    stop = true;
    busy.join();
    ASSERT_EQ(zel_status_deinit(), 0);
    // Nothing fires after the end: once what was queued has played, the speaker stays silent.
    zel_sound_play_deinit();
    std::this_thread::sleep_for(600ms);
    ASSERT_EQ(zel_sound_play_init(), 0);
    const size_t before = board_test_speaker_audio().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(board_test_speaker_audio().size(), before);
}

} // namespace
