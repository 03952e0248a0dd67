// The P2P service's tests: an SDK information record of the test's own (device, streams), the
// service's calls on phone sessions recorded with scripted send-ring figures, and the app client's
// notices recorded.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "app/p2p/ko_p2p_test.h"
#include "common/sdk/ko_sdk.h"

namespace p2ptest {

// Fake session handles: the service only compares and hands them to the recorded calls.
inline vasq_session *phone(int n)
{
    return reinterpret_cast<vasq_session *>(uintptr_t{0x1000} * static_cast<uintptr_t>(n + 1));
}

struct Sent {
    vasq_session *session;
    int code;
    std::string data;
};

struct Lab {
    std::mutex lock;
    int bytes_held = 0, frames_held = 0; // what the send ring reports
    int cmd_result = 0;
    std::vector<Sent> commands;
    std::vector<vasq_frame_info> frames;
    std::vector<std::string> rdt;          // RDT packets sent
    std::function<void()> on_rdt;          // run (outside the lock) after each RDT packet
    int clears = 0, closes = 0;
    std::vector<std::pair<int, int>> notices; // (type, value)

    static Lab &get()
    {
        static Lab lab;
        return lab;
    }
    void reset()
    {
        std::lock_guard<std::mutex> g(lock);
        bytes_held = frames_held = cmd_result = clears = closes = 0;
        commands.clear();
        frames.clear();
        notices.clear();
        rdt.clear();
        on_rdt = nullptr;
    }
    std::vector<std::string> rdt_sent()
    {
        std::lock_guard<std::mutex> g(lock);
        return rdt;
    }
    std::vector<Sent> sent()
    {
        std::lock_guard<std::mutex> g(lock);
        return commands;
    }
};

const ko_p2p::session_ops &recording_ops();

// RDT words as the phone sends and reads them: little-endian u32s.
std::string le_words(std::initializer_list<uint32_t> words);
uint32_t le_word_at(const std::string &bytes, size_t at);
// The RDT packets sent since the last reset joined, after checking that each holds at most 2048
// bytes and only the last one is shorter.
std::string joined_rdt();

// The service started for two sessions and the fake phone 0 connected to it: 0, or the failing step's
// result.
int lab_start_service();
// The texts of the playback replies (270) sent, without their NUL.
std::vector<std::string> playback_texts();

// Fills `info` as below, installs it as the SDK's record and the recording session calls; the undo.
void lab_install(ko_sdk_info &info);
void lab_uninstall();

// The SDK information record with main 2560x1440, sub 864x480, third 640x360 and audio channel 4.
class P2pTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void set_streams(int count) { info_.video_chn_count = count; }
    ko_sdk_info info_{};
};

} // namespace p2ptest
