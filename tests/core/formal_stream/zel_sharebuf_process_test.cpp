// The shared frame ring between processes: a Python reader checks our file byte by byte, a holder
// that dies or stops never blocks the producer for long, and rings forged by another process are
// refused or their bad entries skipped, without a SIGBUS.
#include <json-c/json.h>
#include <signal.h>
#include <string.h>
#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zel_formal_stream2/zel_ring_layout.h"
#include "zel_formal_stream2/zel_sharebuf.h"
#include "zel_formal_stream2/zel_sharemem.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kHeader = zel_ring::header_size(zel_ring::Kind::shared);

std::string peer(const std::vector<std::string> &args)
{
    std::string cmd;
    for (const std::string &a : zeltest::python_peer("sharebuf_file.py", args))
        cmd += "'" + a + "' ";
    std::string out;
    EXPECT_EQ(zeltest::run_command(cmd, &out), 0) << cmd;
    return out;
}

struct Frames {
    std::mutex m;
    std::vector<std::string> payloads;
    size_t size()
    {
        std::lock_guard<std::mutex> g(m);
        return payloads.size();
    }
};

// A frame refused with -11 (a reader of this process held the lock while the host was slow) is
// offered again.
int enqueue(zel_sharebuf_t *ring, uint32_t type, uint64_t time, const char *payload)
{
    int rc, tries = 0;
    while ((rc = zel_sharebuf_enqueue(ring, type, time, nullptr, 0, payload, static_cast<uint32_t>(strlen(payload)))) ==
               -11 &&
           ++tries < 100) {
    }
    return rc;
}

void collect(uint64_t, uint32_t, const uint8_t *, uint32_t, const uint8_t *p, uint32_t n, void *user)
{
    auto *f = static_cast<Frames *>(user);
    std::lock_guard<std::mutex> g(f->m);
    f->payloads.emplace_back(reinterpret_cast<const char *>(p), n);
}

TEST(ZelSharebufFile, PythonReaderSeesEveryFieldAtItsOffset)
{
    zeltest::TempRoot root;
    zel_sharebuf_t *ring = zel_sharebuf_create_ex("layout", static_cast<int>(kHeader + 32 * 4 + 256), 4);
    ASSERT_NE(ring, nullptr);
    for (int i = 0; i < 6; i++) {
        std::string payload = "payload-" + std::to_string(i);
        ASSERT_EQ(zel_sharebuf_enqueue(ring, i % 3 ? 1 : 0, 0x100000000ull + i, "HD", 2, payload.data(),
                                       static_cast<uint32_t>(payload.size())),
                  0);
    }
    json_object *doc = json_tokener_parse(peer({"dump", root.path("/tmp/layout")}).c_str());
    ASSERT_NE(doc, nullptr);
    auto num = [&](json_object *o, const char *k) { return json_object_get_int64(json_object_object_get(o, k)); };
    EXPECT_STREQ(json_object_get_string(json_object_object_get(doc, "magic")), "SHAREBUF");
    EXPECT_EQ(num(doc, "header_size"), kHeader);
    EXPECT_EQ(num(doc, "total"), num(doc, "file_size"));
    EXPECT_EQ(num(doc, "count"), 4);
    EXPECT_EQ(num(doc, "capacity"), 4);
    EXPECT_EQ(num(doc, "sequence"), 6);
    EXPECT_EQ(num(doc, "data_size"), 256);
    json_object *entries = json_object_object_get(doc, "entries");
    ASSERT_EQ(json_object_array_length(entries), 4u);
    for (int k = 0; k < 4; k++) {
        json_object *e = json_object_array_get_idx(entries, k);
        int i = k + 2;
        EXPECT_EQ(num(e, "sequence"), i);
        EXPECT_EQ(num(e, "time"), static_cast<int64_t>(0x100000000ll + i));
        EXPECT_EQ(num(e, "type"), i % 3 ? 1 : 0);
        EXPECT_EQ(num(e, "header_len"), 2);
        std::string bytes = "HDpayload-" + std::to_string(i);
        EXPECT_EQ(json_object_get_string(json_object_object_get(e, "bytes")),
                  zeltest::hex(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()));
    }
    json_object_put(doc);
    zel_sharebuf_release(ring);
    EXPECT_FALSE(root.exists("/tmp/layout"));
}

TEST(ZelSharebufFile, RecreatingWithAnotherSizeLeavesTheRingUntouched)
{
    zeltest::TempRoot root;
    int size = static_cast<int>(kHeader + 32 * 4 + 256);
    zel_sharebuf_t *ring = zel_sharebuf_create_ex("again", size, 4);
    ASSERT_EQ(zel_sharebuf_enqueue(ring, 0, 7, nullptr, 0, "kept", 4), 0);
    std::string before = root.read_file("/tmp/again");
    EXPECT_EQ(zel_sharebuf_create_ex("again", size + 64, 4), nullptr);
    EXPECT_EQ(root.read_file("/tmp/again"), before);
    // The same size adopts it with its frames.
    zel_sharebuf_t *adopted = zel_sharebuf_create_ex("again", size, 4);
    ASSERT_NE(adopted, nullptr);
    ASSERT_EQ(zel_sharebuf_enqueue(adopted, 1, 8, nullptr, 0, "more", 4), 0);
    json_object *doc = json_tokener_parse(peer({"dump", root.path("/tmp/again")}).c_str());
    EXPECT_EQ(json_object_get_int(json_object_object_get(doc, "count")), 2);
    json_object_put(doc);
    zel_sharebuf_release(adopted);
    zel_sharebuf_release(ring); // already removed: a second unlink is harmless
}

class ZelSharebufLiar : public ::testing::TestWithParam<const char *> {};

TEST_P(ZelSharebufLiar, ForgedRingIsRefusedOrItsBadEntrySkipped)
{
    zeltest::TempRoot root;
    std::string path = root.path("/tmp/liar");
    peer({"lie", path, std::to_string(kHeader), GetParam()});
    std::string before = root.read_file("/tmp/liar");
    zel_sharebuf_cli_t *cli = zel_sharebuf_cli_create_ex("liar");
    // The producer never adopts a lying ring either.
    EXPECT_EQ(zel_sharebuf_create_ex("liar", static_cast<int>(before.size()), 4), nullptr);
    EXPECT_EQ(root.read_file("/tmp/liar"), before);
    if (std::string(GetParam()) != "offsets") {
        EXPECT_EQ(cli, nullptr);
        return;
    }
    ASSERT_NE(cli, nullptr);
    Frames got;
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 0, collect, &got), 0);
    zel_sharebuf_cli_start(cli);
    ASSERT_TRUE(zeltest::wait_until([&] { return got.size() >= 1; }, 2s));
    std::this_thread::sleep_for(50ms);
    zel_sharebuf_cli_release(cli);
    ASSERT_EQ(got.payloads.size(), 1u);
    EXPECT_EQ(got.payloads[0], std::string(6, '\1'));
}

INSTANTIATE_TEST_SUITE_P(Modes, ZelSharebufLiar, ::testing::Values("capacity", "offsets", "short", "indexes"));

// A child process that maps the ring, takes its header mutex and then dies or stops itself.
pid_t lock_in_child(const char *name, bool stop)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        zel_sharemem_t *mem = zel_sharemem_open(name, static_cast<int>(kHeader));
        auto *m = reinterpret_cast<pthread_mutex_t *>(static_cast<uint8_t *>(mem->addr) + zel_ring::kLockArea);
        pthread_mutex_lock(m);
        (void)!write(ready[1], "l", 1);
        if (stop)
            raise(SIGSTOP);
        _exit(0);
    }
    char c;
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    close(ready[1]);
    return pid;
}

// Whether this system hands a robust mutex on when its holder process dies (qemu-user does not keep
// the kernel's robust list, so there the lock stays taken for ever).
bool robust_recovery_works()
{
    auto *m = static_cast<pthread_mutex_t *>(
        mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(m, &attr);
    pid_t pid = fork();
    if (pid == 0) {
        pthread_mutex_lock(m);
        _exit(0);
    }
    int status;
    waitpid(pid, &status, 0);
    const int rc = pthread_mutex_trylock(m);
    // A robust mutex this thread holds stays on its robust list: it is let go before its memory is,
    // or the next robust lock taken writes into the unmapped page.
    if (rc == EOWNERDEAD)
        pthread_mutex_consistent(m);
    if (rc == 0 || rc == EOWNERDEAD)
        pthread_mutex_unlock(m);
    munmap(m, sizeof(pthread_mutex_t));
    return rc == EOWNERDEAD;
}

TEST(ZelSharebufProcess, HolderThatDiesIsRecoveredAndServiceGoesOn)
{
    if (!robust_recovery_works())
        GTEST_SKIP() << "this system does not recover robust mutexes of a dead process (qemu-user)";
    zeltest::TempRoot root;
    zel_sharebuf_t *ring = zel_sharebuf_create_ex("dead", static_cast<int>(kHeader + 32 * 64 + 8192), 64);
    zel_sharebuf_cli_t *cli = zel_sharebuf_cli_create_ex("dead");
    ASSERT_NE(cli, nullptr);
    ASSERT_EQ(enqueue(ring, 0, 1, "first"), 0);
    Frames got;
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 0, collect, &got), 0);
    zel_sharebuf_cli_start(cli);
    ASSERT_TRUE(zeltest::wait_until([&] { return got.size() == 1; }, 2s));

    testing::internal::CaptureStderr(); // the producer or the reader, whichever takes the lock first, says so
    pid_t child = lock_in_child("dead", false);
    int status;
    waitpid(child, &status, 0);
    ASSERT_EQ(enqueue(ring, 1, 2, "second"), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return got.size() == 2; }, 2s));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("rwlock dead, restore it"), std::string::npos) << err;
    ASSERT_EQ(enqueue(ring, 1, 3, "third"), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return got.size() == 3; }, 2s));
    zel_sharebuf_cli_release(cli);
    EXPECT_EQ(got.payloads[2], "third");
    zel_sharebuf_release(ring);
}

TEST(ZelSharebufProcess, StoppedHolderNeverHoldsAnEnqueuePastTheBound)
{
    if (!robust_recovery_works())
        GTEST_SKIP() << "this system does not recover robust mutexes of a dead process (qemu-user)";
    zeltest::TempRoot root;
    zel_sharebuf_t *ring = zel_sharebuf_create_ex("stopped", static_cast<int>(kHeader + 32 * 64 + 8192), 64);
    pid_t child = lock_in_child("stopped", true);
    int status;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status));
    for (int i = 0; i < 5; i++) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(zel_sharebuf_enqueue(ring, 0, 1, nullptr, 0, "x", 1), -11);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(50ms));
    }
    EXPECT_EQ(zel_sharebuf_lock_refusals(ring), 5u);
    // A reader registering meanwhile is refused after its bounded wait rather than hanging.
    zel_sharebuf_cli_t *cli = zel_sharebuf_cli_create_ex("stopped");
    ASSERT_NE(cli, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(zel_sharebuf_cli_register(cli, 0, collect, nullptr), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(5s));
    zel_sharebuf_cli_release(cli);
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(enqueue(ring, 0, 2, "y"), 0);
    testing::internal::GetCapturedStderr();
    zel_sharebuf_release(ring);
}

TEST(ZelSharebufProcess, ConsumerInAnotherProcessGetsEveryFrameInOrder)
{
    zeltest::TempRoot root;
    zel_sharebuf_t *ring = zel_sharebuf_create_ex("pair", static_cast<int>(kHeader + 32 * 512 + 256 * 1024), 512);
    ASSERT_EQ(zel_sharebuf_enqueue(ring, 0, 0, nullptr, 0, "0", 1), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        zel_sharebuf_cli_t *cli = zel_sharebuf_cli_create_ex("pair");
        Frames got;
        zel_sharebuf_cli_register(cli, 0, collect, &got);
        zel_sharebuf_cli_start(cli);
        (void)!write(out[1], "r", 1);
        zeltest::wait_until([&] { return got.size() >= 2000; }, 10s);
        zel_sharebuf_cli_release(cli);
        if (got.payloads.size() != 2000)
            _exit(2);
        for (size_t i = 0; i < 2000; i++)
            if (got.payloads[i] != std::to_string(i))
                _exit(3);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(out[0], &c, 1), 1);
    for (int i = 1; i < 2000; i++) {
        std::string p = std::to_string(i);
        int rc;
        while ((rc = zel_sharebuf_enqueue(ring, 1, i, nullptr, 0, p.data(), static_cast<uint32_t>(p.size()))) == -11) {
        } // the reader was preempted holding the lock: offered again
        ASSERT_EQ(rc, 0);
        if (i % 20 == 0)
            std::this_thread::sleep_for(zeltest::scaled(2ms)); // a pace the reader keeps, also under sanitizers
    }
    int status;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(out[0]);
    close(out[1]);
    zel_sharebuf_release(ring);
}

} // namespace
