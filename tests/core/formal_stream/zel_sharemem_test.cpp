// Shared-memory files and process record locks: names that could reach outside /tmp are refused, a
// planted link is never followed, a short file is never mapped, and locks exclude other processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "zel_formal_stream2/zel_sharemem.h"
#include "zel_test_support.h"

namespace {

TEST(ZelSharemem, RefusesNamesThatLeaveTmp)
{
    zeltest::TempRoot root;
    root.write_file("/mnt/data/victim", "keep me");
    for (const char *name : {"", "/", ".", "..", "../mnt/data/victim", "a/b"})
        EXPECT_EQ(zel_sharemem_create(name, 64), nullptr) << name;
    EXPECT_EQ(zel_sharemem_create(std::string(251, 'n').c_str(), 64), nullptr);
    EXPECT_EQ(zel_sharemem_create(nullptr, 64), nullptr);
    EXPECT_EQ(root.read_file("/mnt/data/victim"), "keep me");
    zel_sharemem_t *ok = zel_sharemem_create(std::string(250, 'n').c_str(), 64);
    ASSERT_NE(ok, nullptr);
    zel_sharemem_destroy(ok);
}

TEST(ZelSharemem, PlantedLinkLeavesItsTargetIntact)
{
    zeltest::TempRoot root;
    root.write_file("/mnt/data/victim", "keep me");
    ASSERT_EQ(symlink(root.path("/mnt/data/victim").c_str(), root.path("/tmp/planted").c_str()), 0);
    EXPECT_EQ(zel_sharemem_create("planted", 4096), nullptr);
    EXPECT_EQ(zel_sharemem_open("planted", 4), nullptr);
    EXPECT_EQ(root.read_file("/mnt/data/victim"), "keep me");
}

TEST(ZelSharemem, CreateOpenCloseDestroy)
{
    zeltest::TempRoot root;
    EXPECT_EQ(zel_sharemem_open("absent", 16), nullptr);
    zel_sharemem_t *mem = zel_sharemem_create("ring", 4096);
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(mem->length, 4096);
    memcpy(mem->addr, "hello", 5);
    zel_sharemem_t *peer = zel_sharemem_open("ring", 4096);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(memcmp(peer->addr, "hello", 5), 0);
    zel_sharemem_close(peer);
    // Creating again truncates and sizes anew.
    zel_sharemem_t *again = zel_sharemem_create("ring", 8192);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(static_cast<char *>(again->addr)[0], 0);
    zel_sharemem_close(again);
    zel_sharemem_destroy(mem);
    EXPECT_FALSE(root.exists("/tmp/ring"));
}

TEST(ZelSharemem, ShortFileIsNotMapped)
{
    zeltest::TempRoot root;
    root.write_file("/tmp/short", std::string(100, 'x'));
    EXPECT_EQ(zel_sharemem_open("short", 4096), nullptr);
    zel_sharemem_t *mem = zel_sharemem_open("short", 100);
    ASSERT_NE(mem, nullptr);
    zel_sharemem_close(mem);
}

TEST(ZelProcessRwlock, TryLockAgainstAnotherProcessesWriteLockFailsAtOnce)
{
    zeltest::TempRoot root;
    int fd = zel_process_rwlock_create("/tmp/lockfile");
    ASSERT_GE(fd, 0);
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    if (child == 0) {
        int cfd = zel_process_rwlock_create("/tmp/lockfile");
        char c = zel_process_rwlock_wrlock(cfd) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(zel_process_rwlock_trywrlock(fd), -1);
    EXPECT_EQ(zel_process_rwlock_tryrdlock(fd), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(std::chrono::milliseconds(50)));
    (void)!write(done[1], "x", 1);
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(zel_process_rwlock_trywrlock(fd), 0);
    EXPECT_EQ(zel_process_rwlock_unlock(fd), 0);
    EXPECT_EQ(zel_process_rwlock_rdlock(fd), 0);
    EXPECT_EQ(zel_process_rwlock_unlock(fd), 0);
    zel_process_rwlock_close(fd);
    for (int p : {ready[0], ready[1], done[0], done[1]})
        close(p);
}

} // namespace
