// The kv store against its files on disk: round trips, restarts, damaged and missing copies, the
// directory scan, the size limit, the space table, and values checked with the openssl CLI.
#include "common/kv/ko_kv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/ipc/ko_message.h"
#include "common/utils/ko_time_test.h"
#include "ko_kv_test_util.h"
#include "zel_test_support.h"

using kvtest::crc_name_matches;
using kvtest::Store;

namespace {

std::string get(const char *space, const char *key, int cap = 256, int *ret = nullptr)
{
    std::string buf(static_cast<size_t>(cap), '\0');
    const int n = ko_kv_get_value(space, key, buf.data(), cap);
    if (ret)
        *ret = n;
    return n >= 0 ? buf.substr(0, static_cast<size_t>(n)) : std::string();
}

int set(const char *space, const char *key, const std::string &v)
{
    return ko_kv_set_value(space, key, v.data(), static_cast<int>(v.size()));
}

// A copy as it was saved earlier (`path`, `bytes`) takes the place of its current file: a good copy
// that a write cut short never reached.
void put_back(const Store &s, const char *base, const std::string &path, const std::string &bytes)
{
    ASSERT_EQ(unlink(s.copy_path(base).c_str()), 0);
    s.write(path, bytes);
    ASSERT_TRUE(crc_name_matches(path));
}

} // namespace

TEST(KvStore, RoundTripKeepsLengthAndTerminates)
{
    Store s;
    const std::string v16(16, 'x');
    ASSERT_EQ(set("TOLK_IPC", "token", v16), 0);
    char buf[40];
    memset(buf, 'z', sizeof buf);
    ASSERT_EQ(ko_kv_get_value("TOLK_IPC", "token", buf, sizeof buf), 16);
    EXPECT_EQ(std::string(buf, 16), v16);
    EXPECT_EQ(buf[16], 0);

    const std::string bin("\x00\x01\xff\x00\x10", 5);
    ASSERT_EQ(set("", "raw", bin), 0);
    EXPECT_EQ(get(nullptr, "raw"), bin);
    EXPECT_EQ(get("", "raw"), bin);
    // Space and key join with "_", so ("A", "b_c") and ("A_b", "c") name the same record.
    ASSERT_EQ(set("A", "b_c", "one"), 0);
    EXPECT_EQ(get("A_b", "c"), "one");
}

TEST(KvStore, NeverWritesPastTheCallersBuffer)
{
    Store s;
    ASSERT_EQ(set("S", "k", std::string(40, 'v')), 0);
    char buf[64];
    memset(buf, 'z', sizeof buf);
    EXPECT_LT(ko_kv_get_value("S", "k", buf, 20), 0);
    for (size_t i = 20; i < sizeof buf; ++i)
        ASSERT_EQ(buf[i], 'z') << i;
    // Exactly the value's size fits, without room for the terminating zero.
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(ko_kv_get_value("S", "k", buf, 40), 40);
    EXPECT_EQ(buf[40], 'z');
}

TEST(KvStore, ValueTooLargeForTheBufferIsNotAnsweredByAnOlderBackup)
{
    Store s;
    ASSERT_EQ(set("S", "k", "old"), 0);
    const std::string old_bak = s.copy_path("ko_kv_db_bak");
    const std::string old_bytes = s.read(old_bak);
    const std::string fresh(40, 'n');
    ASSERT_EQ(set("S", "k", fresh), 0);
    put_back(s, "ko_kv_db_bak", old_bak, old_bytes);

    // 20 bytes: the record itself is larger than the fetch; 35: it fits, its plaintext does not.
    for (int cap : {20, 35}) {
        int ret = 0;
        get("S", "k", cap, &ret);
        EXPECT_EQ(ret, -1) << cap;
    }
    EXPECT_EQ(get("S", "k", 64), fresh);
}

TEST(KvStore, RefusesBadArgumentsAndMissingKeys)
{
    Store s;
    char buf[8];
    EXPECT_EQ(ko_kv_get_value("S", nullptr, buf, 8), -1);
    EXPECT_EQ(ko_kv_get_value("S", "k", nullptr, 8), -1);
    EXPECT_EQ(ko_kv_get_value("S", "k", buf, 0), -1);
    EXPECT_EQ(ko_kv_set_value("S", "k", "v", 0), -1);
    EXPECT_EQ(ko_kv_del_value("S", nullptr), -1);
    EXPECT_EQ(ko_kv_get_value("S", "absent", buf, 8), -4);
    EXPECT_EQ(ko_kv_del_value("S", "absent"), -1);
    ko_kv_init_param p{};
    snprintf(p.path, sizeof p.path, "/mnt/data");
    snprintf(p.mac, sizeof p.mac, "%s", kvtest::kMac);
    EXPECT_EQ(ko_kv_init(&p), -1) << "a second start is refused";
    ASSERT_EQ(ko_kv_deinit(), 0);
    EXPECT_EQ(ko_kv_deinit(), -1);
    EXPECT_EQ(ko_kv_set_value("S", "k", "v", 1), -1);
}

TEST(KvStore, ValuesSurviveARestartAndAnotherProcess)
{
    Store s;
    ASSERT_EQ(set("TOLK_NAS", "share_cfg", "{\"share\":\"cam\"}"), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A second process with its own store instance over the same files.
        const int ok = get("TOLK_NAS", "share_cfg") == "{\"share\":\"cam\"}" && set("TOLK_NAS", "config", "child") == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    s.restart();
    EXPECT_EQ(get("TOLK_NAS", "share_cfg"), "{\"share\":\"cam\"}");
    EXPECT_EQ(get("TOLK_NAS", "config"), "child");
    ASSERT_EQ(ko_kv_del_value("TOLK_NAS", "config"), 0);
    s.restart();
    int ret = 0;
    get("TOLK_NAS", "config", 64, &ret);
    EXPECT_EQ(ret, -4);
}

// The store keeps no time of its own: with the SDK's clocks past January 2038 (wall) and past a
// 32-bit millisecond count (monotonic) it stores, restarts and reads back as before.
TEST(KvStore, ValuesSurviveARestartWithTheClocksPast2038)
{
    ko_time_set_wall_source([]() -> uint64_t { return 2214086400ull * 1000000u; });
    ko_time_set_tick_source([]() -> uint64_t { return (1ull << 32) * 1000u + 5000000u; });
    {
        Store s;
        ASSERT_EQ(set("TOLK_IPC", "token", "after-2038"), 0);
        s.restart();
        EXPECT_EQ(get("TOLK_IPC", "token"), "after-2038");
    }
    ko_time_set_tick_source(nullptr);
    ko_time_set_wall_source(nullptr);
}

TEST(KvStore, EachCopyIsOneFileNamedByItsCrc)
{
    Store s;
    ASSERT_EQ(set("S", "a", "1"), 0);
    ASSERT_EQ(set("S", "b", "2"), 0);
    ASSERT_EQ(ko_kv_del_value("S", "a"), 0);
    const auto files = s.files();
    ASSERT_EQ(files.size(), 2u) << "no journal or lock files beside the copies";
    EXPECT_EQ(files[0].rfind("ko_kv_db_bak_", 0), 0u);
    EXPECT_EQ(files[1].rfind("ko_kv_db_src_", 0), 0u);
    EXPECT_TRUE(crc_name_matches(s.copy_path("ko_kv_db_src")));
    EXPECT_TRUE(crc_name_matches(s.copy_path("ko_kv_db_bak")));
    struct stat st {};
    ASSERT_EQ(stat(s.copy_path("ko_kv_db_src").c_str(), &st), 0);
    EXPECT_LE(st.st_size, 8192);
    // Reset removes both copies.
    EXPECT_EQ(ko_kv_reset(), 0);
    EXPECT_TRUE(s.files().empty());
    int ret = 0;
    get("S", "b", 8, &ret);
    EXPECT_EQ(ret, -4);
}

// A damaged copy (bytes flipped, cut short, emptied or replaced by garbage) is noticed by its CRC
// name, the value comes from the other copy, and the damaged copy is rebuilt from the good one.
struct Damage {
    const char *copy;
    const char *kind;
    bool by_set; // noticed by a set rather than a get
};

class KvDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(KvDamage, IsRepairedFromTheOtherCopy)
{
    const Damage d = GetParam();
    Store s;
    ASSERT_EQ(set("S", "keep", "kept value"), 0);
    ASSERT_EQ(set("S", "other", "second"), 0);
    const std::string victim = s.copy_path(d.copy);
    std::string bytes = s.read(victim);
    ASSERT_GT(bytes.size(), 1000u);
    const std::string kind = d.kind;
    if (kind == "flip")
        bytes[bytes.size() / 2] ^= 0x5a;
    else if (kind == "header")
        bytes[20] ^= 0x01;
    else if (kind == "truncate")
        bytes.resize(bytes.size() / 3);
    else if (kind == "empty")
        bytes.clear();
    else
        bytes.assign(bytes.size(), 'G');
    s.write(victim, bytes);

    if (d.by_set) {
        ASSERT_EQ(set("S", "new", "fresh"), 0);
        EXPECT_EQ(get("S", "new"), "fresh");
    }
    EXPECT_EQ(get("S", "keep"), "kept value");
    EXPECT_EQ(get("S", "other"), "second");

    const std::string src = s.copy_path("ko_kv_db_src"), bak = s.copy_path("ko_kv_db_bak");
    ASSERT_FALSE(src.empty());
    ASSERT_FALSE(bak.empty());
    EXPECT_TRUE(crc_name_matches(src));
    EXPECT_TRUE(crc_name_matches(bak));
    EXPECT_EQ(s.read(src), s.read(bak)) << "the damaged copy is a copy of the good one";
    EXPECT_EQ(s.files().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Copies, KvDamage,
    ::testing::Values(Damage{"ko_kv_db_src", "flip", false}, Damage{"ko_kv_db_bak", "flip", false},
                      Damage{"ko_kv_db_src", "header", false}, Damage{"ko_kv_db_bak", "truncate", false},
                      Damage{"ko_kv_db_src", "truncate", false}, Damage{"ko_kv_db_bak", "empty", false},
                      Damage{"ko_kv_db_src", "garbage", true}, Damage{"ko_kv_db_bak", "flip", true},
                      Damage{"ko_kv_db_src", "truncate", true}),
    [](const ::testing::TestParamInfo<Damage> &i) {
        return std::string(i.param.copy + 9) + "_" + i.param.kind + (i.param.by_set ? "_set" : "_get");
    });

// A copy that is gone (or that the engine made afresh and never named) beside a named good copy is
// rebuilt, so the pair protects the values again before the other copy is ever damaged.
TEST(KvStore, LostCopyIsRebuiltFromTheOther)
{
    for (const char *lost : {"ko_kv_db_bak", "ko_kv_db_src"}) {
        for (const char *noticed_by : {"get", "set", "del"}) {
            SCOPED_TRACE(std::string(lost) + " noticed by " + noticed_by);
            Store s;
            ASSERT_EQ(set("S", "a", "A"), 0);
            ASSERT_EQ(set("S", "b", "B"), 0);
            ASSERT_EQ(unlink(s.copy_path(lost).c_str()), 0);
            if (std::string(noticed_by) == "get")
                EXPECT_EQ(get("S", "a"), "A");
            else if (std::string(noticed_by) == "set")
                EXPECT_EQ(set("S", "c", "C"), 0);
            else
                EXPECT_EQ(ko_kv_del_value("S", "absent"), -1);
            const std::string src = s.copy_path("ko_kv_db_src"), bak = s.copy_path("ko_kv_db_bak");
            ASSERT_TRUE(crc_name_matches(src));
            ASSERT_TRUE(crc_name_matches(bak));
            EXPECT_EQ(s.read(src), s.read(bak));

            // Now the other copy may go bad without losing anything.
            const std::string other = lost == std::string("ko_kv_db_bak") ? src : bak;
            std::string bytes = s.read(other);
            bytes[bytes.size() / 2] ^= 0x5a;
            s.write(other, bytes);
            EXPECT_EQ(get("S", "a"), "A");
            EXPECT_EQ(get("S", "b"), "B");
        }
    }
}

// A copy replaced by a symlink is damaged, not a way to write elsewhere: it is replaced by a
// regular file, and the file it pointed to stays as it was.
TEST(KvStore, CopyReplacedBySymlinkIsRebuiltWithoutTouchingItsTarget)
{
    for (const char *linked : {"ko_kv_db_bak", "ko_kv_db_src"}) {
        for (const char *noticed_by : {"get", "set"}) {
            SCOPED_TRACE(std::string(linked) + " noticed by " + noticed_by);
            Store s;
            ASSERT_EQ(set("S", "a", "A"), 0);
            const std::string copy = s.copy_path(linked);
            const std::string target = s.root().path("/tmp/victim");
            const std::string victim_bytes = "precious, not a database";
            s.write(target, victim_bytes);
            ASSERT_EQ(unlink(copy.c_str()), 0);
            ASSERT_EQ(symlink(target.c_str(), copy.c_str()), 0);

            if (std::string(noticed_by) == "get")
                EXPECT_EQ(get("S", "a"), "A");
            else
                EXPECT_EQ(set("S", "b", "B"), 0);
            EXPECT_EQ(set("S", "c", "C"), 0);
            EXPECT_EQ(get("S", "a"), "A");
            EXPECT_EQ(s.read(target), victim_bytes);
            for (const char *base : {"ko_kv_db_src", "ko_kv_db_bak"}) {
                struct stat st {};
                ASSERT_EQ(lstat(s.copy_path(base).c_str(), &st), 0) << base;
                EXPECT_TRUE(S_ISREG(st.st_mode)) << base;
                EXPECT_TRUE(crc_name_matches(s.copy_path(base))) << base;
            }
        }
    }
}

TEST(KvStore, BothCopiesDamagedGivesAnErrorNotGarbage)
{
    Store s;
    ASSERT_EQ(set("S", "k", "value"), 0);
    for (const char *base : {"ko_kv_db_src", "ko_kv_db_bak"}) {
        const std::string p = s.copy_path(base);
        std::string b = s.read(p);
        b[b.size() - 10] ^= 1;
        s.write(p, b);
    }
    int ret = 0;
    get("S", "k", 64, &ret);
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(set("S", "k", "new"), -3);
    EXPECT_EQ(ko_kv_del_value("S", "k"), -1);
}

// The source put back to an earlier state is behind the backup: it is rebuilt from the backup, and
// nothing of either is lost.
TEST(KvStore, SourceBehindTheBackupIsRebuiltFromIt)
{
    Store s;
    ASSERT_EQ(set("S", "a", "A"), 0);
    const std::string old_src = s.copy_path("ko_kv_db_src");
    const std::string old_bytes = s.read(old_src);
    ASSERT_EQ(set("S", "b", "B"), 0);
    put_back(s, "ko_kv_db_src", old_src, old_bytes); // without "b"

    EXPECT_EQ(get("S", "b"), "B");
    EXPECT_EQ(get("S", "a"), "A");
    EXPECT_NE(s.copy_path("ko_kv_db_src"), old_src) << "the source was left behind the backup";
    EXPECT_EQ(s.read(s.copy_path("ko_kv_db_src")), s.read(s.copy_path("ko_kv_db_bak")));
    // A key in the source only is found there too.
    ASSERT_EQ(ko_kv_del_value("S", "b"), 0);
    int ret = 0;
    get("S", "b", 8, &ret);
    EXPECT_EQ(ret, -4);
    EXPECT_EQ(ko_kv_del_value("S", "b"), -1);
}

TEST(KvStore, DirectoryScanTakesExactNamesOnly)
{
    Store s;
    ASSERT_EQ(set("S", "k", "v"), 0);
    const std::string src = s.copy_path("ko_kv_db_src");
    const std::string bytes = s.read(src);
    // A second, later-sorting copy is removed; look-alike names are left alone.
    const std::string dir = s.data_dir();
    s.write(dir + "/ko_kv_db_src_9999999999", bytes);
    for (const char *other :
         {"ko_kv_db_src-journal", "ko_kv_db_src_12x", "ko_kv_db_src_", "xko_kv_db_src_1", "ko_kv_db_srcx"})
        s.write(dir + "/" + other, "side");
    EXPECT_EQ(get("S", "k"), "v");
    const auto files = s.files();
    EXPECT_EQ(std::count(files.begin(), files.end(), "ko_kv_db_src_9999999999"), 0);
    for (const char *other :
         {"ko_kv_db_src-journal", "ko_kv_db_src_12x", "ko_kv_db_src_", "xko_kv_db_src_1", "ko_kv_db_srcx"})
        EXPECT_EQ(std::count(files.begin(), files.end(), other), 1) << other;
}

TEST(KvStore, SizeLimitRefusesAndChangesNothing)
{
    Store s;
    ASSERT_EQ(set("S", "big", std::string(40000, 'b')), 0);
    const auto before = s.files();
    EXPECT_EQ(set("S", "more", std::string(30000, 'm')), -9);
    EXPECT_EQ(s.files(), before);
    int ret = 0;
    get("S", "more", 100, &ret);
    EXPECT_EQ(ret, -4);
    EXPECT_EQ(get("S", "big", 40000).size(), 40000u);
}

TEST(KvStore, SpaceTable)
{
    Store s;
    EXPECT_EQ(ko_kv_register_space_name("TOLK_IPC", 8), 0);
    EXPECT_EQ(ko_kv_register_space_name("TOLK_IPC", 8), 0);
    EXPECT_EQ(ko_kv_register_space_name("sixteen_chars_xx", 16), -1);
    for (int i = 1; i < 16; ++i) {
        const std::string n = "space" + std::to_string(i);
        ASSERT_EQ(ko_kv_register_space_name(n.c_str(), static_cast<int>(n.size())), 0) << i;
    }
    EXPECT_EQ(ko_kv_register_space_name("seventeenth", 11), -1);
    EXPECT_EQ(ko_kv_clear_space_name("space3", 6), 0);
    EXPECT_EQ(ko_kv_clear_space_name("space3", 6), -1);
    EXPECT_EQ(ko_kv_register_space_name("seventeenth", 11), 0);
}

// The stored record is AES-128-CBC with padding bytes that hold the padding count, under the key and
// IV derived from the MAC: decrypted here with Python's sqlite3, hashlib and the openssl CLI.
TEST(KvStore, RecordDecryptsWithOpenssl)
{
    Store s;
    const std::string value = "device secret: 0123456789abcdef!";
    ASSERT_EQ(set("TOLK_NAS", "config", value), 0);
    const std::string dir = s.root().dir();
    s.write(dir + "/kv_key.py", R"PY(
import hashlib, sqlite3, sys
mac, fixed, db, key = sys.argv[1].encode()[:15], sys.argv[2].encode(), sys.argv[3], sys.argv[4].encode()
m = bytearray(16)
m[:len(mac)] = mac
d = hashlib.md5(bytes(m)).digest()
for i in range(len(mac), 16):
    m[i] = d[i % 15]
x = bytes(a ^ b for a, b in zip(fixed, m)).split(b"\0")[0]
k = hashlib.md5(x).digest()
b = (k.split(b"\0")[0] + x)[:32].ljust(32, b"\0")
iv = hashlib.md5(b).digest()
row = sqlite3.connect(db).execute("SELECT v FROM kv WHERE k=?", (key,)).fetchone()
open(sys.argv[5], "wb").write(row[0])
print(k.hex(), iv.hex())
)PY");
    std::string out;
    ASSERT_EQ(zeltest::run_command(std::string(ZEL_PYTHON) + " " + dir + "/kv_key.py '" + kvtest::kMac +
                                       "' 'Vq8!Lz3#Rm6$Tk1@' " + s.copy_path("ko_kv_db_src") + " TOLK_NAS_config " +
                                       dir + "/record.bin",
                                   &out),
              0);
    const size_t sp = out.find(' ');
    ASSERT_NE(sp, std::string::npos);
    const std::string key = out.substr(0, sp), iv = out.substr(sp + 1, 32);
    EXPECT_EQ(s.read(dir + "/record.bin").size(), 48u) << "32 bytes get a whole block of padding";
    ASSERT_EQ(zeltest::run_command("openssl enc -d -aes-128-cbc -K " + key + " -iv " + iv + " -in " + dir +
                                   "/record.bin -out " + dir + "/plain.bin"),
              0);
    EXPECT_EQ(s.read(dir + "/plain.bin"), value);
}

TEST(KvStore, AnswersTheStatisticsRequestOnTheBus)
{
    Store s;
    ko_message m{};
    m.from_uid = KO_UID_STAT;
    m.to_uid = KO_UID_KV;
    snprintf(m.msgkey, sizeof m.msgkey, "upload_statistics");
    m.param = "1";
    m.len = 1;
    m.mode = KO_MSG_MODE_SYNC;
    m.target = KO_MSG_TARGET_REG;
    EXPECT_EQ(ko_message_push(&m), 0);
    EXPECT_EQ(ko_message_unregister(KO_UID_KV, "upload_statistics"), 0) << "registered as uid 13";
}
