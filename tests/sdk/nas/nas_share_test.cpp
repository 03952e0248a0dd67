// The "samba" share record against a real smbd: every operation checked on the share's own
// directory, the error codes the service relies on, the copy of a large file, a server that stops
// answering mid-copy, and two shares used from two threads at once.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "app/nas/nas_share.h"
#include "smbd_server.h"
#include "zel_test_support.h"

namespace {

using namespace std::chrono_literals;

struct ShareFree {
    void operator()(nas_share_ops_t *s) const { nas_share_free(s); }
};
using Share = std::unique_ptr<nas_share_ops_t, ShareFree>;

json_object *config(const zeltest::SmbdServer &smbd, const std::string &dir, const char *pass_override = nullptr)
{
    json_object *cfg = json_object_new_object();
    json_object_object_add(cfg, "type", json_object_new_int(1));
    json_object_object_add(cfg, "name", json_object_new_string("ZELSRV"));
    json_object_object_add(cfg, "addr", json_object_new_string("127.0.0.1"));
    json_object_object_add(cfg, "dir", json_object_new_string(dir.c_str()));
    json_object_object_add(cfg, "group", json_object_new_string("WORKGROUP"));
    json_object_object_add(cfg, "user", json_object_new_string(smbd.user().c_str()));
    json_object_object_add(cfg, "pass", json_object_new_string(pass_override ? pass_override : smbd.password().c_str()));
    return cfg;
}

std::string file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string sha256_of(const std::string &path)
{
    std::string out;
    zeltest::run_command("sha256sum '" + path + "' | cut -c1-64", &out);
    return out;
}

void make_random_file(const std::string &path, int mib)
{
    ASSERT_EQ(zeltest::run_command("head -c " + std::to_string(mib) + "M /dev/urandom > '" + path + "'"), 0);
}

class NasShareTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!smbd_.start(&why))
            GTEST_SKIP() << why;
        setenv("ZELMAR_NAS_SMB_PORT", std::to_string(smbd_.port()).c_str(), 1);
    }
    void TearDown() override { unsetenv("ZELMAR_NAS_SMB_PORT"); }

    Share open_share(const std::string &dir, int expect = 0)
    {
        Share s(nas_share_new(NAS_SHARE_TYPE_SMB));
        json_object *cfg = config(smbd_, dir);
        EXPECT_EQ(s->open(s.get(), cfg), expect);
        json_object_put(cfg);
        return s;
    }

    zeltest::TempRoot root_;
    zeltest::SmbdServer smbd_;
};

TEST(NasShareRecord, EachShareIsACopyOfTheTemplate)
{
    Share a(nas_share_new(NAS_SHARE_TYPE_SMB));
    Share b(nas_share_new(NAS_SHARE_TYPE_SMB));
    ASSERT_TRUE(a && b);
    EXPECT_STREQ(a->name, "samba");
    EXPECT_EQ(a->type, 1);
    EXPECT_EQ(a->priv, nullptr);
    EXPECT_EQ(a->max_buf(a.get()), 1024u); // no session yet
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(nas_share_new(0), nullptr);
    EXPECT_EQ(nas_share_new(2), nullptr);
}

TEST(NasShareRecord, ErrorTexts)
{
    EXPECT_STREQ(nas_share_error_text(261), "Name invalid");
    EXPECT_STREQ(nas_share_error_text(999), "Unknown Error");
}

TEST(NasShareRecord, ConfigFormsAndRefusals)
{
    Share s(nas_share_new(NAS_SHARE_TYPE_SMB));
    // Without private state nothing can be set.
    EXPECT_EQ(s->set_config(s.get(), nullptr), EINVAL);
    json_object *old_form = json_tokener_parse(
        R"({"smb_server_name":"NAS1","smb_workgroup":"HOME","smb_username":"u","smb_password":"secret",)"
        R"("smb_dir":"films\\cam","smb_location":"\\\\10.1.2.3","smb_display_name":"x"})");
    // A refused configuration still leaves the record its private state, so it can be set again.
    json_object *refused = json_tokener_parse(R"({"name":"n","user":"u"})");
    ASSERT_EQ(s->open(s.get(), refused), 22);
    json_object_put(refused);
    EXPECT_EQ(s->set_config(s.get(), old_form), 0);
    json_object *now = s->get_config(s.get());
    ASSERT_TRUE(now);
    EXPECT_STREQ(json_object_to_json_string_ext(now, JSON_C_TO_STRING_PLAIN),
                 R"({"type":1,"name":"NAS1","addr":"10.1.2.3","dir":"films\\cam","group":"HOME","user":"u","pass":"secret"})");
    json_object_put(now);
    json_object_put(old_form);
    json_object *no_pass = json_tokener_parse(R"({"name":"n","addr":"1.2.3.4","user":"u"})");
    EXPECT_EQ(s->set_config(s.get(), no_pass), 22);
    json_object_put(no_pass);
    json_object *no_server = json_tokener_parse(R"({"user":"u","pass":"p"})");
    EXPECT_EQ(s->set_config(s.get(), no_server), 22);
    json_object_put(no_server);
}

TEST_F(NasShareTest, OperationsWorkOnTheSharesOwnDirectory)
{
    Share s = open_share("share\\cam\\videos");
    ASSERT_TRUE(s->priv);
    EXPECT_EQ(s->isconnected(s.get()), 1);
    const std::string base = smbd_.share_dir() + "/cam/videos";
    struct stat st;
    ASSERT_EQ(stat(base.c_str(), &st), 0) << "connect makes the video directory with its parents";
    EXPECT_EQ(s->max_buf(s.get()), 1024u * 1024u);

    EXPECT_EQ(s->mkdir(s.get(), "cam\\videos\\day1"), 0);
    EXPECT_EQ(stat((base + "/day1").c_str(), &st), 0);
    EXPECT_EQ(s->mkdir(s.get(), "cam\\videos\\day1"), 17);
    EXPECT_EQ(s->mkdir(s.get(), "cam\\videos\\a:b"), 261);

    nas_share_file_t *f = nullptr;
    ASSERT_EQ(s->file_open(s.get(), "cam\\videos\\day1\\clip.bin", 1, &f), 0);
    const std::string data = "zelmar clip bytes\n";
    EXPECT_EQ(s->file_write(s.get(), f, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(s->file_close(s.get(), f), 0);
    EXPECT_EQ(file_text(base + "/day1/clip.bin"), data);

    nas_share_stat_t info{};
    ASSERT_EQ(s->stat(s.get(), "cam/videos/day1/clip.bin", &info), 0);
    EXPECT_EQ(info.size, data.size());
    EXPECT_EQ(info.is_dir, 0);
    ASSERT_EQ(s->stat(s.get(), "cam/videos/day1", &info), 0);
    EXPECT_EQ(info.is_dir, 1);
    EXPECT_EQ(s->stat(s.get(), "cam/videos/none", &info), 2);

    ASSERT_EQ(s->file_open(s.get(), "cam\\videos\\day1\\clip.bin", 0, &f), 0);
    char back[64] = {0};
    EXPECT_EQ(s->file_read(s.get(), f, back, sizeof back), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(std::string(back), data);
    EXPECT_EQ(s->file_close(s.get(), f), 0);

    int err = -1;
    nas_share_dir_t *d = s->opendir(s.get(), "", &err);
    ASSERT_TRUE(d) << err;
    nas_share_entry_t entry;
    std::vector<std::string> shares;
    while (s->readdir(s.get(), d, &entry) == 1)
        if (entry.kind == NAS_ENTRY_SHARE)
            shares.push_back(entry.name);
    EXPECT_EQ(s->closedir(s.get(), d), 0);
    std::sort(shares.begin(), shares.end());
    EXPECT_EQ(shares, (std::vector<std::string>{"readonly", "share"}));

    d = s->opendir(s.get(), "cam\\videos", &err);
    ASSERT_TRUE(d);
    ASSERT_EQ(s->readdir(s.get(), d, &entry), 1);
    EXPECT_STREQ(entry.name, "day1");
    EXPECT_EQ(entry.kind, NAS_ENTRY_DIR);
    EXPECT_EQ(s->readdir(s.get(), d, &entry), 0);
    s->closedir(s.get(), d);

    EXPECT_EQ(s->rmdir(s.get(), "cam\\videos\\day1"), 260) << "not empty";
    EXPECT_EQ(s->unlink(s.get(), "cam\\videos\\day1\\clip.bin"), 0);
    EXPECT_NE(stat((base + "/day1/clip.bin").c_str(), &st), 0);
    EXPECT_EQ(s->rmdir(s.get(), "cam\\videos\\day1"), 0);
    EXPECT_NE(stat((base + "/day1").c_str(), &st), 0);

    ASSERT_EQ(zeltest::run_command("mkdir -p '" + base + "/t/u' && echo x > '" + base + "/t/u/f' && echo y > '" + base +
                                   "/t/g'"),
              0);
    EXPECT_EQ(s->rmdir_recursive(s.get(), "cam\\videos\\t"), 0);
    EXPECT_NE(stat((base + "/t").c_str(), &st), 0);

    EXPECT_EQ(s->disconnect(s.get()), 0);
    EXPECT_EQ(s->isconnected(s.get()), 0);
    EXPECT_EQ(s->mkdir(s.get(), "cam\\x"), 260) << "no connection";
    EXPECT_EQ(s->reconnect(s.get()), 0);
    EXPECT_EQ(s->mkdir(s.get(), "cam\\x"), 0);
}

TEST_F(NasShareTest, LogInRefusalsAndBadNames)
{
    Share s(nas_share_new(NAS_SHARE_TYPE_SMB));
    json_object *wrong = config(smbd_, "share\\x", "not-the-password");
    testing::internal::CaptureStdout();
    EXPECT_EQ(s->open(s.get(), wrong), 13);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Can not log in " + smbd_.user() + ". (nt_status = c000006d)"), std::string::npos) << log;
    EXPECT_EQ(s->isconnected(s.get()), 0);
    json_object_put(wrong);
    json_object *empty = config(smbd_, "share\\x", "");
    EXPECT_EQ(s->set_config(s.get(), empty), 22);
    json_object_put(empty);
    json_object *colon = config(smbd_, "share\\videos\\aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(s->set_config(s.get(), colon), 0);
    EXPECT_EQ(s->connect(s.get()), 261) << "a ':' in an SMB name";
    json_object_put(colon);
    json_object *missing = config(smbd_, "noshare\\x");
    EXPECT_NE(s->set_config(s.get(), missing), 22);
    EXPECT_NE(s->connect(s.get()), 0);
    json_object_put(missing);
}

// The server's refusals come back as the codes of the NT status it answered, not as the client's
// errno for it.
TEST_F(NasShareTest, RefusalsGiveTheCodesOfTheirNtStatus)
{
    Share ro = open_share("readonly\\videos"); // the existing video directory counts as created
    ASSERT_EQ(ro->isconnected(ro.get()), 1);
    nas_share_file_t *f = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ro->file_open(ro.get(), "videos\\clip.mp4", 1, &f), 1) << "access denied";
    EXPECT_EQ(ro->mkdir(ro.get(), "videos\\day1"), 1);
    ro->dump(ro.get());
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("samba: NT Error: c0000022"), std::string::npos) << log;
    EXPECT_NE(log.find("Last NT Error: c0000022"), std::string::npos) << log;

    Share s = open_share("share\\x");
    ASSERT_EQ(s->file_open(s.get(), "x\\held.mp4", 1, &f), 0);
    EXPECT_EQ(s->unlink(s.get(), "x\\held.mp4"), 20) << "a sharing violation with our own open file";
    EXPECT_EQ(s->file_close(s.get(), f), 0);
    int err = 0;
    EXPECT_EQ(s->opendir(s.get(), "x\\held.mp4", &err), nullptr);
    EXPECT_EQ(err, 261) << "not a directory";
}

TEST_F(NasShareTest, SecondConnectReusesTheSession)
{
    Share s = open_share("share\\a");
    ASSERT_EQ(s->isconnected(s.get()), 1);
    json_object *same = config(smbd_, "share\\b\\c");
    ASSERT_EQ(s->set_config(s.get(), same), 0);
    json_object_put(same);
    // The same server, account and share keep their connection; the new folders are made.
    EXPECT_EQ(s->connect(s.get()), 0);
    struct stat st;
    EXPECT_EQ(stat((smbd_.share_dir() + "/b/c").c_str(), &st), 0);
}

TEST_F(NasShareTest, LargeWriteEqualsWhatSmbclientReadsBack)
{
    const std::string local = root_.dir() + "/big.bin";
    make_random_file(local, 64);
    Share s = open_share("share\\up");
    ASSERT_EQ(s->writefile(s.get(), local.c_str(), "up\\big.bin", nullptr), 0);
    struct stat st;
    EXPECT_NE(stat((smbd_.share_dir() + "/up/big.bin.part").c_str(), &st), 0);
    const std::string copy = root_.dir() + "/copy.bin";
    ASSERT_EQ(smbd_.smbclient("get up/big.bin " + copy), 0);
    EXPECT_EQ(sha256_of(copy), sha256_of(local));
    // A second copy replaces the first under its name.
    make_random_file(local, 1);
    ASSERT_EQ(s->writefile(s.get(), local.c_str(), "up\\big.bin", nullptr), 0);
    EXPECT_EQ(sha256_of(smbd_.share_dir() + "/up/big.bin"), sha256_of(local));
}

TEST_F(NasShareTest, StoppedCopyLeavesNoFileUnderTheFinalName)
{
    const std::string local = root_.dir() + "/f.bin";
    make_random_file(local, 4);
    Share s = open_share("share\\up");
    const int stop = 1;
    EXPECT_EQ(s->writefile(s.get(), local.c_str(), "up\\f.bin", &stop), 4);
    struct stat st;
    EXPECT_NE(stat((smbd_.share_dir() + "/up/f.bin").c_str(), &st), 0);
    EXPECT_NE(stat((smbd_.share_dir() + "/up/f.bin.part").c_str(), &st), 0);
    EXPECT_EQ(s->writefile(s.get(), "/nonexistent/file", "up\\g.bin", nullptr), 259);
}

TEST_F(NasShareTest, ServerThatStopsAnsweringEndsTheCopyWithinTheTimeOut)
{
    const std::string local = root_.dir() + "/big.bin";
    make_random_file(local, 256);
    Share s = open_share("share\\up");
    std::atomic<int> result{-1};
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread copier([&] {
        result = s->writefile(s.get(), local.c_str(), "up\\big.bin", nullptr);
        done = true;
    });
    std::this_thread::sleep_for(100ms);
    smbd_.pause();
    const auto paused = std::chrono::steady_clock::now();
    // The client's request time-out (2000 ms) and 2 s.
    const bool ended = zeltest::wait_until([&] { return done.load(); }, 2000ms + 2000ms);
    const auto took = std::chrono::steady_clock::now() - paused;
    smbd_.resume();
    copier.join();
    if (!ended && std::chrono::steady_clock::now() - start < 400ms)
        GTEST_SKIP() << "the copy finished before the server stopped";
    const long long took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    std::printf("stalled server: the copy ended %lld ms after the server stopped\n", took_ms);
    EXPECT_TRUE(ended) << "took " << took_ms << " ms";
    if (result == 0)
        GTEST_SKIP() << "the copy finished before the server stopped";
    EXPECT_NE(result.load(), 0);
    struct stat st;
    EXPECT_NE(stat((smbd_.share_dir() + "/up/big.bin").c_str(), &st), 0);
}

TEST_F(NasShareTest, TwoSharesOnTwoThreads)
{
    const std::string local = root_.dir() + "/f.bin";
    make_random_file(local, 8);
    Share a = open_share("share\\one");
    Share b = open_share("share\\two");
    auto run = [&](nas_share_ops_t *s, const char *dir, int *rc) {
        for (int i = 0; i < 4 && *rc == 0; ++i)
            *rc = s->writefile(s, local.c_str(), (std::string(dir) + "\\f" + std::to_string(i)).c_str(), nullptr);
    };
    int rc_a = 0, rc_b = 0;
    std::thread ta(run, a.get(), "one", &rc_a);
    std::thread tb(run, b.get(), "two", &rc_b);
    ta.join();
    tb.join();
    EXPECT_EQ(rc_a, 0);
    EXPECT_EQ(rc_b, 0);
    for (const char *dir : {"one", "two"})
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(sha256_of(smbd_.share_dir() + "/" + dir + "/f" + std::to_string(i)), sha256_of(local));
}

TEST_F(NasShareTest, DumpNeverShowsThePassword)
{
    Share s = open_share("share\\d");
    testing::internal::CaptureStdout();
    s->dump(s.get());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("*********"), std::string::npos);
    EXPECT_EQ(out.find(smbd_.password()), std::string::npos);
}

} // namespace
