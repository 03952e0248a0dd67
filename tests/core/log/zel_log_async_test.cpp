// The asynchronous logger: its writer thread, the bounded queue, and the order and completeness of
// what reaches the appenders.
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"
#include "zelmar/zel_rand.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "zel_log_test_util.h"
#include "zel_test_support.h"

namespace {

class LogAsync : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.write_file("/mnt/data/operator/zel_log.ini",
                        "[f]\ntype = file\nfile = /tmp/async.log\nsize = 100000000\n"
                        "[queued]\nappender = f\nformat = tag\n");
        ASSERT_EQ(zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str()), 0);
    }
    void TearDown() override { zel_log_uninit(); }

    std::vector<std::string> lines() { return zellogtest::read_lines(root.path("/tmp/async.log")); }

    zeltest::TempRoot root;
};

// "<stamp> [w<thread>] <seq>" -> (thread, seq)
bool parse(const std::string &line, int *thread, int *seq)
{
    return line.size() > 24 && std::sscanf(line.c_str() + 24, "[w%d] %d", thread, seq) == 2;
}

TEST_F(LogAsync, AllLinesAreWrittenInOrderWhenReleased)
{
    const int count = 500;
    for (int i = 0; i < count; i++)
        ZEL_LOGI("w0", "%d", i);
    zel_log_uninit();
    const auto got = lines();
    ASSERT_EQ(got.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        int thread, seq;
        ASSERT_TRUE(parse(got[i], &thread, &seq)) << got[i];
        EXPECT_EQ(seq, i);
    }
}

TEST_F(LogAsync, ConcurrentProducersKeepEachOrderAndLoseNothing)
{
    const int threads = 8, count = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([t] {
            const std::string tag = "w" + std::to_string(t);
            for (int i = 0; i < count; i++)
                ZEL_LOGI(tag.c_str(), "%d", i);
        });
    for (auto &w : workers)
        w.join();
    zel_log_uninit();
    std::vector<int> next(threads, 0);
    const auto got = lines();
    ASSERT_EQ(got.size(), static_cast<size_t>(threads * count));
    for (const auto &line : got) {
        int thread, seq;
        ASSERT_TRUE(parse(line, &thread, &seq)) << line;
        ASSERT_EQ(seq, next[thread]) << "thread " << thread;
        next[thread]++;
    }
}

TEST_F(LogAsync, BurstReachesTheFileWithoutFurtherCalls)
{
    for (int i = 0; i < 12; i++)
        ZEL_LOGI("w0", "%d", i);
    // No later line and no release pushes them out: the writer alone must catch up.
    EXPECT_TRUE(zeltest::wait_until([this] { return lines().size() == 12; }, std::chrono::seconds(10)));
}

// The writer looks in on the queue for a while after a batch and then sleeps: lines reach the file
// in both phases, each without a later line to push it out.
TEST_F(LogAsync, LinesReachTheFileWhetherTheWriterLooksInOrSleeps)
{
    int written = 0;
    for (const auto pause : {std::chrono::milliseconds(0), std::chrono::milliseconds(1), std::chrono::milliseconds(50),
                             std::chrono::milliseconds(0), std::chrono::milliseconds(300)}) {
        std::this_thread::sleep_for(pause);
        for (int i = 0; i < 3; i++)
            ZEL_LOGI("w0", "%d", written++);
        ASSERT_TRUE(zeltest::wait_until([&] { return lines().size() == static_cast<size_t>(written); },
                                        std::chrono::seconds(10)))
            << "after a pause of " << pause.count() << " ms";
    }
}

TEST_F(LogAsync, AFatalLineReachesTheFileBeforeTheAbort)
{
    zel_log_uninit();  // the dying child starts its own writer
    root.write_file("/dev/urandom", "");
    EXPECT_DEATH(
        {
            zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str());
            unsigned char bytes[4];
            rand_bytes(bytes, sizeof bytes);
        },
        "");
    const auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("random source gave 0 of 4 bytes"), std::string::npos) << got[0];
}

TEST_F(LogAsync, TurningAsyncOffHandsOnTheQueue)
{
    zel_logger_t *logger = zel_log_get_logger("queued");
    ASSERT_EQ(logger, zel_log_get_default_logger());
    for (int i = 0; i < 16; i++)
        ZEL_LOGI("w0", "%d", i);
    zel_log_set_logger_async(logger, 0);
    EXPECT_EQ(lines().size(), 16u);
    ZEL_LOGI("w0", "%d", 16);
    const auto got = lines();
    ASSERT_EQ(got.size(), 17u);
    int thread, seq;
    ASSERT_TRUE(parse(got[16], &thread, &seq));
    EXPECT_EQ(seq, 16);
}

} // namespace
