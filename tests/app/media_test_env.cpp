// The media tests' environment and helpers.
#include "media_test_env.h"

#include "agent_server.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace mediatest {

Env::Env(const zeltest::FactoryEntries &rom, bool with_model)
{
    zeltest::FactoryEntries entries;
    if (with_model)
        entries.emplace_back("model", "ZT-CAM1");
    entries.insert(entries.end(), rom.begin(), rom.end());
    app_.factory.reset();
    unlink(app_.root.path("/dev/mtdblock3").c_str());
    app_.factory = std::make_unique<zeltest::FakeFactory>(app_.root, zeltest::factory_image(entries));
    EXPECT_TRUE(app_.factory->ok());
    EXPECT_EQ(zeltest::run_command("cp -R '" ZEL_BOARD_SOUND_DIR "' '" + app_.root.path("/mnt/data/sound") + "'"), 0);
    EXPECT_EQ(zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str()), 0);
    EXPECT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(agent_server_init(), 0);
    board_test_clear_calls();
    board_test_clear_failures();
    board_test_clear_speaker_audio();
    board_test_set_key_delay(0);
}

Env::~Env()
{
    zel_api_db_deinit();
}

std::string agent_send(const std::vector<std::string> &args)
{
    std::vector<std::string> all{getenv("ZELMAR_AGENT_SOCK")};
    all.insert(all.end(), args.begin(), args.end());
    std::string command;
    for (const std::string &a : zeltest::python_peer("agent_send.py", all))
        command += "'" + a + "' ";
    std::string out;
    EXPECT_EQ(zeltest::run_command(command, &out), 0) << out;
    return out;
}

std::string setting(const char *key)
{
    char value[1600] = {};
    return zel_api_db_get_value(key, value, sizeof value) == 0 ? value : "<absent>";
}

void store(const char *key, const std::string &value)
{
    ASSERT_EQ(zel_api_db_set_value(key, value.c_str(), static_cast<int>(value.size()), 0), 0) << key;
}

std::vector<uint8_t> read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> prompt_bytes(const std::string &name, const std::string &language)
{
    return read_bytes(std::string(ZEL_BOARD_SOUND_DIR) + "/" + (language.empty() ? "" : language + "/") + name);
}

int64_t call_time(const std::string &prefix, int64_t from_us)
{
    for (const sim::TimedCall &c : board_test_timed_calls())
        if (c.mono_us >= from_us && c.text.compare(0, prefix.size(), prefix) == 0)
            return c.mono_us;
    return -1;
}

size_t call_count(const std::string &prefix)
{
    size_t n = 0;
    for (const std::string &c : board_test_calls())
        n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
}

int64_t now_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace mediatest
