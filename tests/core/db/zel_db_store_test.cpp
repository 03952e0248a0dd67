#include "zel_db_test_fixture.h"

#include "zel_db/zel_db_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

using zeltest::DbTest;

namespace {

const char *const MAIN = "/mnt/data/.zel_db.ini";
const char *const BACKUP = "/mnt/data/.zel_db_bak.ini";

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST_F(DbTest, FreshDeviceStartsFromTheDefaults)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "1");
    EXPECT_EQ(get("MEM.runlevel"), "init");
    EXPECT_EQ(get("MEM.default:runlevel"), "init");
    EXPECT_EQ(get("RAM.RUN:motor_reset"), "0 ");  // the RAM default file's blank stays in the value
    EXPECT_EQ(get("NVM.ALARM:smart_care_area"), "[{\"area\":\"[0,0],[100,100]\"}]");
    const std::string staging = root_.read_file("/var/run/.plain.ini");
    EXPECT_GT(count(staging, "[IPC]"), 1);
    struct stat st {};
    ASSERT_EQ(stat(root_.path("/var/run/.plain.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(root_.exists(MAIN));
}

TEST_F(DbTest, KeysSelectStoresAndIgnoreCase)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(set("NVM.IPC:Power", "0"), 0);
    EXPECT_EQ(get("NVMxipc:POWER"), "0");
    EXPECT_EQ(get("nvm.IPC:power"), "<-3>");
    EXPECT_EQ(set("nvm.IPC:power", "1"), -1);
    EXPECT_EQ(get("NVM.IPC:no_such_key"), "<-1>");
    EXPECT_EQ(get("NVM.IPC"), "<-1>");  // a section entry is no value
    EXPECT_EQ(get("NVM"), "<-3>");
    EXPECT_EQ(set("ROM.model", "X"), -4);
    EXPECT_EQ(get("ROM.model"), zeltest::TEST_MODEL);
    EXPECT_EQ(zel_api_db_unset_value("ROM.model", 0), -4);
    EXPECT_EQ(zel_api_db_get_value(nullptr, nullptr, 0), -6);
    EXPECT_EQ(zel_api_db_set_value("NVM.a:b", nullptr, 0, 0), -6);
}

TEST_F(DbTest, ValueSizesAndLengths)
{
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("MEM.T:v", "abcd"), 0);
    char buf[8] = "zzzzzzz";
    EXPECT_EQ(zel_api_db_get_value("MEM.T:v", buf, 5), 0);
    EXPECT_EQ(std::string(buf, 5), "abcdz");  // copied without its NUL
    char small[4] = "yyy";
    EXPECT_EQ(zel_api_db_get_value("MEM.T:v", small, 4), -2);
    EXPECT_EQ(std::string(small), "yyy");
    const std::string big(1536, 'v');
    EXPECT_EQ(zel_api_db_set_value("RAM.T:big", big.c_str(), 1536, 0), 0);
    EXPECT_EQ(zel_api_db_set_value("RAM.T:big", big.c_str(), 1537, 0), -2);
    EXPECT_EQ(zel_api_db_set_value("RAM.T:big", big.c_str(), 100, 0), -2);
    EXPECT_EQ(get("RAM.T:big"), big);
    EXPECT_EQ(get(std::string(1537, 'N')), "<-2>");
}

TEST_F(DbTest, RefusesEntriesThatWouldNotReadBack)
{
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(set("NVM.BIND:wifi_pwd", "line1\nline2"), -2);
    EXPECT_EQ(set("NVM.BIND:wifi_pwd", "cr\r"), -2);
    EXPECT_EQ(set("NVM.BIND:wifi_pwd", "ends in \\"), -2);
    EXPECT_EQ(set("NVM.BIND:a=b", "1"), -2);
    EXPECT_EQ(set("NVM.BI]ND:ab", "1"), -2);
    EXPECT_EQ(set("NVM.BIND: ab", "1"), -2);
    EXPECT_EQ(set("NVM.BIND:#ab", "1"), -2);
    EXPECT_EQ(get("NVM.BIND:wifi_pwd"), "");
    EXPECT_EQ(set("NVM.BIND:wifi_pwd", " p;#\"' = x "), 0);  // blanks, comment marks and quotes are kept
}

TEST_F(DbTest, ControlCharacterCannotCostTheStoreAtNextBoot)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("NVM.IPC:power", "0", true), 0);
    // The loader takes a control character for a wrongly decrypted file and would drop every setting.
    EXPECT_EQ(set("NVM.IPC:note", "bell\a", true), -2);
    EXPECT_EQ(set("NVM.IPC:note", "esc\x1b[0m", true), -2);
    EXPECT_EQ(set("NVM.I\x01PC:note", "x", true), -2);
    EXPECT_EQ(set("RAM.RUN:note", "del\x7f", true), -2);
    ASSERT_EQ(set("NVM.IPC:note", "tab\tand na\xc3\xafve", true), 0);
    ASSERT_EQ(zel_api_db_deinit(), 0);
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "0");
    EXPECT_EQ(get("NVM.IPC:note"), "tab\tand na\xc3\xafve");
}

TEST_F(DbTest, EveryStoredValueReadsBackAfterRestart)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("NVM.IPC:motor", "[10,90]"), 0);
    ASSERT_EQ(set("NVM.BIND:wifi_pwd", " p;#\"' = x "), 0);
    ASSERT_EQ(set("NVM.NEW:long", std::string(1536, 'q')), 0);
    ASSERT_EQ(set("NVM.bare_key", "bare"), 0);
    ASSERT_EQ(set("RAM.RUN:motor_reset", "1"), 0);
    ASSERT_EQ(zel_api_db_unset_value("NVM.IPC:led_status", 1), 0);
    const std::string main = root_.read_file(MAIN);
    EXPECT_EQ(main.size() % 16, 0u);
    EXPECT_EQ(main.size(), root_.read_file(BACKUP).size());
    EXPECT_EQ(main.find("motor"), std::string::npos);  // encrypted
    ASSERT_EQ(zel_api_db_deinit(), 0);

    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:motor"), "[10,90]");
    EXPECT_EQ(get("NVM.BIND:wifi_pwd"), " p;#\"' = x ");
    EXPECT_EQ(get("NVM.NEW:long"), std::string(1536, 'q'));
    EXPECT_EQ(get("NVM.bare_key"), "bare");
    EXPECT_EQ(get("NVM.IPC:led_status"), "<-1>");
    EXPECT_EQ(get("RAM.RUN:motor_reset"), "1");
    EXPECT_EQ(get("NVM.IPC:power"), "1");
}

class DamagedFileTest : public DbTest, public ::testing::WithParamInterface<int> {};

// 0 truncated to a length that is not whole blocks, 1 a flipped bit, 2 cut to whole blocks.
TEST_P(DamagedFileTest, DamagedMainFileLoadsTheBackup)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("NVM.IPC:motor", "[1,2]", true), 0);
    ASSERT_EQ(zel_api_db_deinit(), 0);
    std::string main = root_.read_file(MAIN);
    if (GetParam() == 0)
        main.resize(main.size() - 5);
    else if (GetParam() == 1)
        main[main.size() / 3] ^= 0x10;
    else
        main.resize(16);
    root_.write_file(MAIN, main);

    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:motor"), "[1,2]");
    // The damaged main file is repaired by the next save without any change.
    ASSERT_EQ(zel_api_db_sync(), 0);
    EXPECT_EQ(root_.read_file(MAIN), root_.read_file(BACKUP));
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedFileTest, ::testing::Values(0, 1, 2));

TEST_F(DbTest, BothFilesDamagedGiveTheDefaults)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("NVM.IPC:power", "0", true), 0);
    ASSERT_EQ(zel_api_db_deinit(), 0);
    std::string main = root_.read_file(MAIN);
    main[7] ^= 1;
    root_.write_file(MAIN, main);
    root_.write_file(BACKUP, root_.read_file(BACKUP).substr(0, 33));
    root_.write_file("/var/run/run.ini", "[run]\nmotor_reset = 1\n\x01\x02garbage\n");
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "1");
    EXPECT_EQ(get("RAM.RUN:motor_reset"), "0 ");
}

TEST_F(DbTest, FileOfAnotherDeviceModelIsRefused)
{
    add_factory("OTHER-MODEL");
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("NVM.IPC:power", "0", true), 0);
    ASSERT_EQ(zel_api_db_deinit(), 0);
    factory_.reset();
    unlink(root_.path("/dev/mtdblock3").c_str());
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "1");
}

TEST_F(DbTest, FactoryImageFillsRom)
{
    add_factory(zeltest::TEST_MODEL, true);
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("ROM.model"), zeltest::TEST_MODEL);
    EXPECT_EQ(get("ROM.did"), "1234567890");
    EXPECT_EQ(get("ROM.MAC"), "AA:BB");
    EXPECT_EQ(set("ROM.did", "0"), -4);
    EXPECT_EQ(get("ROM.did"), "1234567890");
}

TEST_F(DbTest, RegularFileIsNoFactoryDevice)
{
    root_.write_file("/proc/mtd", "mtd3: 00010000 00010000 \"factory\"\n");
    root_.write_file("/dev/mtdblock3", zeltest::factory_image({{"model", "M"}}));
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("ROM.model"), "<-1>");
}

TEST_F(DbTest, WithoutFactoryModelNvmWorksButCannotBeSaved)
{
    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "1");
    EXPECT_EQ(set("NVM.IPC:power", "0", true), -1);
    EXPECT_EQ(get("NVM.IPC:power"), "0");
    EXPECT_FALSE(root_.exists(MAIN));
    // RAM is still saved, and NVM stays dirty for a later try.
    ASSERT_EQ(set("RAM.RUN:motor_reset", "7"), 0);
    EXPECT_EQ(zel_api_db_sync(), -1);
    EXPECT_NE(root_.read_file("/var/run/run.ini").find("motor_reset"), std::string::npos);
}

TEST_F(DbTest, ResetRemovesTheFilesAndRefusesSaves)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("NVM.IPC:power", "0", true), 0);
    ASSERT_TRUE(root_.exists(MAIN));
    ASSERT_EQ(zel_api_db_reset(), 0);
    EXPECT_FALSE(root_.exists(MAIN));
    EXPECT_FALSE(root_.exists(BACKUP));
    EXPECT_FALSE(root_.exists("/var/run/.plain.ini"));
    EXPECT_EQ(set("NVM.IPC:power", "5"), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "5");
    EXPECT_EQ(set("NVM.IPC:power", "6", true), -1);
    EXPECT_FALSE(root_.exists(MAIN));
}

TEST_F(DbTest, TimedSaveWritesOnlyDirtyStores)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    // The save timer is armed: periodic, every 60 seconds.
    const event_timer_node_t *node = zel_db_state().timers ? zel_db_state().timers->next : nullptr;
    ASSERT_NE(node, nullptr);
    itimerspec armed {};
    ASSERT_EQ(timer_gettime(node->timer, &armed), 0);
    EXPECT_EQ(armed.it_interval.tv_sec, 60);
    EXPECT_GT(armed.it_value.tv_sec + armed.it_value.tv_nsec, 0);
    EXPECT_LE(armed.it_value.tv_sec, 60);
    zel_db_timeout_sync_db(sigval{});
    EXPECT_FALSE(root_.exists(MAIN));
    ASSERT_EQ(set("NVM.IPC:power", "0"), 0);
    zel_db_timeout_sync_db(sigval{});
    EXPECT_TRUE(root_.exists(MAIN));
}

TEST_F(DbTest, DefaultsTable)
{
    char buf[64] = {};
    EXPECT_EQ(db_keys_num, 63);
    EXPECT_EQ(zel_api_db_get_default_value("NVM.IPC:motor", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "[50,50]");
    char buf2[64] = {};
    EXPECT_EQ(zel_api_db_get_default_value("NVM.CLOUD:detect", buf2, sizeof buf2), 0);
    EXPECT_STREQ(buf2, "0");
    char tiny[2] = {};
    EXPECT_EQ(zel_api_db_get_default_value("NVM.IPC:speaker_volume", tiny, sizeof tiny), -3);
    EXPECT_EQ(zel_api_db_get_default_value("ROM.model", buf, sizeof buf), -3);
}
