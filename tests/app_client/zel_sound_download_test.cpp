// The sound downloader against a local HTTPS server with certificates made by openssl: a finished
// file is the server's exactly, and a failed, cut or killed transfer keeps the old file whole.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "zel_app_sdk/zel_tolk/zel_tolk_sound.h"
#include "zel_test_support.h"

namespace {

using namespace std::chrono_literals;

// The server's /file bytes.
std::string served_file()
{
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
}

std::string sha256(const std::string &path)
{
    std::string out;
    zeltest::run_command("sha256sum '" + path + "' | cut -d' ' -f1", &out);
    return out;
}

class SoundDownload : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(zeltest::make_https_certs(root_));
        mkdir(root_.path("/mnt/usr").c_str(), 0755);
        ASSERT_EQ(zeltest::run_command("mkdir -p " + root_.path("/mnt/usr/ssl/certs") + " && cp " + root_.dir() +
                                       "/ca.pem " + root_.path("/mnt/usr/ssl/certs/ca-certificates.crt")),
                  0);
        port_ = zeltest::free_tcp_port();
        const std::string d = root_.dir();
        server_ = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("http_server.py", {std::to_string(port_), d + "/srv.pem", d + "/srv.key"}),
            std::vector<std::string>{}, d + "/server.log");
        ASSERT_TRUE(zeltest::wait_until([&] { return ready(); }, 20s));
    }
    bool ready() const
    {
        std::string out;
        zeltest::run_command("head -1 " + root_.dir() + "/server.log", &out);
        return out == "ready\n";
    }
    std::string url(const std::string &path) const { return "https://localhost:" + std::to_string(port_) + path; }
    std::string sound(const std::string &name) const { return root_.read_file("/tmp/download/" + name); }
    void keep_old(const std::string &name)
    {
        ASSERT_EQ(sound_resource_download(url("/hello").c_str(), name.c_str()), 0);
        ASSERT_EQ(sound(name), "hello from server");
    }

    zeltest::TempRoot root_;
    int port_ = 0;
    std::unique_ptr<zeltest::ChildProcess> server_;
};

TEST_F(SoundDownload, AFinishedFileIsTheServersAndReplacesTheOldOne)
{
    keep_old("alarm.wav");
    EXPECT_EQ(sound_resource_download(url("/file").c_str(), "alarm.wav"), 0);
    const std::string expected = root_.dir() + "/expected";
    root_.write_file("/expected", served_file());
    EXPECT_EQ(sha256(root_.path("/tmp/download/alarm.wav")), sha256(expected));
}

TEST_F(SoundDownload, ErrorsWrongCaAndACutBodyKeepTheOldFile)
{
    keep_old("alarm.wav");
    EXPECT_EQ(sound_resource_download(url("/missing").c_str(), "alarm.wav"), -1) << "404";
    EXPECT_EQ(sound("alarm.wav"), "hello from server");
    EXPECT_EQ(sound_resource_download(url("/cut").c_str(), "alarm.wav"), -1) << "a body cut short";
    EXPECT_EQ(sound("alarm.wav"), "hello from server");
    EXPECT_EQ(sound_resource_download(url("/drop").c_str(), "alarm.wav"), -1);
    EXPECT_EQ(sound("alarm.wav"), "hello from server");

    ASSERT_EQ(zeltest::run_command("cd " + root_.dir() +
                                   " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                                   "-keyout other.key -out other.pem -days 2 -subj /CN=other-ca 2>/dev/null && cp "
                                   "other.pem " + root_.path("/mnt/usr/ssl/certs/ca-certificates.crt")),
              0);
    EXPECT_EQ(sound_resource_download(url("/file").c_str(), "alarm.wav"), -1) << "a server the CA did not sign";
    EXPECT_EQ(sound("alarm.wav"), "hello from server");
}

TEST_F(SoundDownload, NamesThatLeaveTheDirectoryOrAreTooLongAreRefused)
{
    root_.write_file("/tmp/outside", "mine");
    for (const std::string &name : {std::string("../outside"), std::string("a/b"), std::string("."),
                                    std::string(".."), std::string(""), std::string(114, 'n')})
        EXPECT_EQ(sound_resource_download(url("/hello").c_str(), name.c_str()), -1) << name;
    EXPECT_EQ(sound_resource_download(url("/hello").c_str(), nullptr), -1);
    EXPECT_EQ(root_.read_file("/tmp/outside"), "mine");
    EXPECT_EQ(sound_resource_download(url("/hello").c_str(), std::string(113, 'n').c_str()), 0)
        << "\"/tmp/download/\" and 113 characters make 127";
}

TEST_F(SoundDownload, AKilledDownloadLeavesTheOldFileOrTheNewOneNeverAMix)
{
    keep_old("alarm.wav");
    const std::string temp = root_.path("/tmp/download/tmp_file");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sound_resource_download(url("/slow").c_str(), "alarm.wav");
        _exit(0);
    }
    const bool started = zeltest::wait_until(
        [&] {
            struct stat st;
            return stat(temp.c_str(), &st) == 0 && st.st_size > 20000;
        },
        20s);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(started) << "the transfer was under way";
    EXPECT_EQ(sound("alarm.wav"), "hello from server");

    EXPECT_EQ(sound_resource_download(url("/slow").c_str(), "alarm.wav"), 0) << "the next download starts afresh";
    EXPECT_EQ(sound("alarm.wav"), served_file());
}

TEST(SoundDir, TheDefaultSoundIsCopiedOnce)
{
    zeltest::TempRoot root;
    root.write_file("/mnt/data/sound/cn/error", "default prompt");
    EXPECT_EQ(create_sound_dir(), 0);
    EXPECT_EQ(root.read_file("/tmp/download/dest_file"), "default prompt");
    root.write_file("/tmp/download/dest_file", "changed");
    EXPECT_EQ(create_sound_dir(), 0);
    EXPECT_EQ(root.read_file("/tmp/download/dest_file"), "changed") << "an existing copy stays";
    EXPECT_EQ(cp_file(root.path("/mnt/data/none").c_str(), root.path("/tmp/x").c_str()), -1);
    EXPECT_EQ(cp_file(nullptr, "x"), -1);
}

TEST(SoundText, WriteDataStopsAtTheLimit)
{
    std::vector<char> text(1000001, '\0');
    std::string chunk(600000, 'a');
    EXPECT_EQ(write_data(&chunk[0], 1, chunk.size(), text.data()), chunk.size());
    EXPECT_EQ(write_data(&chunk[0], 1, chunk.size(), text.data()), 0u) << "over 999999 characters";
    EXPECT_EQ(write_data(&chunk[0], 1, 399999, text.data()), 399999u);
    EXPECT_EQ(std::string(text.data()).size(), 999999u);
}

} // namespace
