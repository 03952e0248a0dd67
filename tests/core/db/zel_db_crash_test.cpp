// A saving process killed with SIGKILL in the middle of its save loop leaves a settings file that
// loads with either the old or the new values. The saver is a program of its own (fork and exec).
#include "zel_control/aes/zel_aes.h"
#include "zel_db/zel_db_iniparser.h"
#include "zel_db_test_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using zeltest::DbTest;

namespace {

// The values a and b of the main file as the device would read it, or "" when it does not load.
std::string read_pair(const zeltest::TempRoot &root)
{
    const std::string key = zeltest::keytext_of(zeltest::TEST_MODEL);
    const std::string plain = root.path("/tmp/check.ini");
    if (zel_aes128_cbc_pkcs5_decrypt_file(root.path("/mnt/data/.zel_db.ini").c_str(), plain.c_str(), key.c_str()) != 0)
        return "";
    dictionary *d = zel_db_ini_load_checked(plain.c_str());
    if (!d)
        return "";
    const char *a = iniparser_getstring(d, "crash:a", "");
    const char *b = iniparser_getstring(d, "crash:b", "");
    const std::string pair = std::string(a) == b ? a : "";
    dictionary_del(d);
    return pair;
}

} // namespace

TEST_F(DbTest, KillDuringSaveLeavesOldOrNewFile)
{
    add_factory();
    long last = 0;
    for (int round = 0; round < 5; ++round) {
        zeltest::ChildProcess child({ZEL_DB_SAVE_LOOP_CHILD}, {}, root_.path("/tmp/child.log"));
        ASSERT_TRUE(zeltest::wait_until([&] { return std::atol(read_pair(root_).c_str()) > last; },
                                        std::chrono::seconds(30)));
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * round + 3));
        const int status = child.stop(SIGKILL);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver ended by itself: " << root_.read_file("/tmp/child.log");
        const std::string pair = read_pair(root_);
        ASSERT_FALSE(pair.empty()) << "round " << round;
        last = std::atol(pair.c_str());
        ASSERT_GT(last, 0);
    }
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(std::atol(get("NVM.CRASH:a").c_str()), last);
    EXPECT_EQ(get("NVM.CRASH:a"), get("NVM.CRASH:b"));
}
