// Logging from many threads while the context is replaced and while appender lists change.
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "zel_log_test_util.h"
#include "zel_test_support.h"

namespace {

const char kConfig[] = "/mnt/data/operator/zel_log.ini";

class LogThreads : public ::testing::Test {
protected:
    void TearDown() override
    {
        stop_logging();
        zel_log_uninit();
    }

    int init(const std::string &ini)
    {
        root.write_file(kConfig, ini);
        return zel_log_init(zel_path(kConfig).c_str());
    }

    // Threads that log through `logger` (null: the default one) until stop_logging().
    void start_logging(int threads, zel_logger_t *logger)
    {
        running = true;
        for (int t = 0; t < threads; t++)
            workers.emplace_back([this, logger, t] {
                for (int i = 0; running; i++)
                    zel_log_queue_output(logger, ZEL_LOG_INFO, "w", __FILE__, __func__, __LINE__, "%d %d", t, i);
            });
    }

    void stop_logging()
    {
        running = false;
        for (auto &w : workers)
            w.join();
        workers.clear();
    }

    zeltest::TempRoot root;
    std::atomic<bool> running{false};
    std::vector<std::thread> workers;
};

TEST_F(LogThreads, LogCallsRunWhileInitAndUninitReplaceTheContext)
{
    zellogtest::StdoutCapture out(root.path("/tmp/stdout.txt"));
    const std::string ini = "[f]\ntype = file\nfile = /tmp/cycle.log\nsize = 100000000\n"
                            "[queued]\nappender = f\nasync = true\n";
    start_logging(4, nullptr);
    for (int cycle = 0; cycle < 40; cycle++) {
        ASSERT_EQ(init(ini), 0);
        ZEL_LOGI("main", "cycle %d", cycle);
        zel_log_uninit();
    }
    stop_logging();
    const std::regex line(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[I\]\[(w|main)\]\[\d{8,}\] \S+( \d+)?$)");
    int cycles = 0;
    for (const auto &text : zellogtest::read_lines(root.path("/tmp/cycle.log"))) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        cycles += text.find("[main]") != std::string::npos;
    }
    // Every configured context got its own line; the implicit ones between them wrote to stdout.
    EXPECT_EQ(cycles, 40);
}

TEST_F(LogThreads, AppenderListsChangeWhileOtherThreadsLog)
{
    zellogtest::UdpListener udp;
    for (int cycle = 0; cycle < 30; cycle++) {
        ASSERT_EQ(init("[first]\ntype = file\nfile = /tmp/lists.log\nsize = 100000000\n"
                       "[own]\nappender = first\nasync = false\ndefault = true\n"
                       "[every]\nappender = all\nasync = false\n"),
                  0);
        zel_logger_t *own = zel_log_get_default_logger();
        start_logging(2, nullptr);
        start_logging(2, zel_log_get_logger("every"));
        std::vector<zel_log_appender_t *> added;
        for (int k = 0; k < 12; k++) {
            std::string name = "net" + std::to_string(k);
            zel_log_appender_t *appender = zel_log_create_udp_appender(name.c_str(), "127.0.0.1", udp.port());
            ASSERT_NE(appender, nullptr);
            zel_log_appender_set_enable(appender, 1);
            zel_log_appender_set_level(appender, ZEL_LOG_DEBUG);
            ASSERT_EQ(zel_log_logger_add_appender(own, appender), 0);
            added.push_back(appender);
            if (k % 3 == 2)
                zel_log_logger_remove_appender(own, added[k - 1]);
        }
        zel_log_logger_clear_appender(own);
        stop_logging();
        zel_log_uninit();
    }
}

TEST_F(LogThreads, AnAppenderAddedTwiceIsHeldAndFreedOnce)
{
    zellogtest::UdpListener udp;
    ASSERT_EQ(init("[every]\nappender = all\nasync = false\n"), 0);
    zel_log_appender_t *appender = zel_log_create_udp_appender("net", "127.0.0.1", udp.port());
    ASSERT_NE(appender, nullptr);
    zel_log_appender_set_enable(appender, 1);
    zel_log_appender_set_level(appender, ZEL_LOG_DEBUG);
    EXPECT_EQ(zel_log_add_appender(appender), 0);
    EXPECT_EQ(zel_log_add_appender(appender), 0);
    ZEL_LOGI("t", "once");
    bool ok;
    EXPECT_NE(udp.receive(5000, &ok).find("once"), std::string::npos);
    udp.receive(200, &ok);
    EXPECT_FALSE(ok);
    zel_log_uninit(); // frees the appender once
}

} // namespace
