// The app client in a test program laid out like zelmar_app: a temporary root with factory keys,
// "/etc/os-release", the settings database and the agent server, the device-daemon simulator, and
// either the business layer alone (start_business) or the media app and the client app as the manager
// creates them (start_program), so that board frames flow through the client into the stream channels.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app_sdk_porting/sdk_porting.h"
#include "common/sdk/ko_sdk.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "daemon_sim_client.h"
#include "media_test_env.h"
#include "rpc_link_probe.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_db/zel_db.h"
#include "zel_media.h"
#include "zel_peripheral.h"
#include "zel_test_support.h"

namespace clienttest {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

inline const zeltest::FactoryEntries kFactory = {
    {"vendor", "Halvorn"}, {"mac", "02:11:22:33:44:55"}, {"OOB", "oob-0123456789"},
    {"qelt_i2c", "/dev/i2c-1"}, {"qelt_gpio", "57"}, {"did", "424242"}};

class ClientTest : public ::testing::Test {
protected:
    // Factory keys beside kFactory, and whether "ROM.model" is there. A death test goes without the
    // simulator: a child process of the dying test would hold its output open.
    explicit ClientTest(zeltest::FactoryEntries rom = {}, bool with_model = true, bool with_sim = true)
        : rom_(std::move(rom)), with_model_(with_model), with_sim_(with_sim)
    {
    }

    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        zeltest::FactoryEntries entries = kFactory;
        entries.insert(entries.end(), rom_.begin(), rom_.end());
        env_ = std::make_unique<mediatest::Env>(entries, with_model_);
        root().write_file("/etc/os-release", "NAME=\"Halvorn\"\nHALVORN_VERSION=2.4.1_0107\n");
        if (!with_sim_)
            return;
        sim_ = std::make_unique<zeltest::DaemonSim>(
            root(), std::vector<std::string>{"--did", "424242", "--time", "1700000000", "--status", "cloud_connected",
                                             "--push-status"},
            true);
        setenv("ZELMAR_DAEMON_PORT", std::to_string(sim_->port()).c_str(), 1);
    }

    void TearDown() override
    {
        ko_sdk_info *info = ko_ipc_get_sdk_info();
        if (info && info->valid)
            ko_p2p_deinit(), zel_rpc_deinit(), ko_ipc_sdk_deinit();
        unsetenv("ZELMAR_DAEMON_PORT");
    }

    const zeltest::TempRoot &root() const { return env_->root(); }

    // The business layer as the client app's init runs it.
    zel_tolk_info_t *start_business()
    {
        zel_tolk_info_t *info = zel_tolk_init();
        EXPECT_NE(info, nullptr);
        wait_links();
        return info;
    }

    // Apps 6 and 4 in the manager's order: the media threads run before the client exists.
    void start_program()
    {
        ASSERT_EQ(zel_api_peripheral_init(), 0);
        ASSERT_NE(media_app_create(0), nullptr);
        ASSERT_NE(client_app_create(0), nullptr);
        wait_links();
    }

    void wait_links()
    {
        auto connected = [&](const char *name) {
            Json links = sim_->command(R"({"cmd":"links"})");
            return json_object_get_boolean(member(member(member(links.get(), "links"), name), "connected"));
        };
        ASSERT_TRUE(zeltest::wait_until([&] { return connected("internal") && connected("rpc"); }, 15s));
        ASSERT_TRUE(zeltest::wait_rpc_link_ready(*sim_));
    }

    // The frames of a stream channel from reader `user` (video readers start at a key frame).
    std::vector<std::vector<uint8_t>> read_frames(unsigned channel, size_t count, std::vector<int> *types = nullptr,
                                                  unsigned user = 0)
    {
        std::vector<std::vector<uint8_t>> frames;
        std::vector<uint8_t> buf(ringbuffer_get_max_frame_size(channel) + 1);
        const bool video = channel < 4;
        zeltest::wait_until(
            [&] {
                ko_av_frame f{};
                while (frames.size() < count &&
                       (video ? ringbuffer_get_video_frame(channel, user, &f, buf.data(), buf.size())
                              : ringbuffer_get_audio_frame(channel, user, &f, buf.data(), buf.size())) == 0) {
                    frames.emplace_back(buf.begin(), buf.begin() + f.size);
                    if (types)
                        types->push_back(static_cast<int>(f.frame_type));
                }
                return frames.size() >= count;
            },
            20s);
        return frames;
    }

    std::unique_ptr<mediatest::Env> env_;
    std::unique_ptr<zeltest::DaemonSim> sim_;
    zeltest::FactoryEntries rom_;
    bool with_model_;
    bool with_sim_;
};

} // namespace clienttest
