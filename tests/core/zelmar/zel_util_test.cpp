// Random numbers, clocks and timers, aligned blocks and copies, and the shared device information.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "zel_test_clock.h"
#include "zel_test_support.h"
#include "zelmar/zel_clock.h"
#include "zelmar/zel_devinfo.h"
#include "zelmar/zel_mem.h"
#include "zelmar/zel_rand.h"

namespace {

TEST(ZelRand, RangesAndStrings)
{
    for (int i = 0; i < 1000; ++i) {
        EXPECT_LT(rand_range(0, 10), 10u);
        const unsigned id = generate_random_id();
        EXPECT_GE(id, 1u);
        EXPECT_LT(id, 10000000u);
    }
    bool moved = false;
    for (int i = 0; i < 8 && !moved; ++i)
        moved = rand_range(5, 5) != 5;
    EXPECT_TRUE(moved) << "rand_range(5, 5) adds a random number";
    char dst[6];
    std::memset(dst, '#', sizeof dst);
    rand_str("ab", 2, dst, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(dst[i] == 'a' || dst[i] == 'b');
    EXPECT_EQ(dst[4], '\0');
    EXPECT_EQ(dst[5], '#');
    rand_str("ab", 2, dst, 0);
    EXPECT_EQ(dst[0] == 'a' || dst[0] == 'b', true) << "n = 0 writes nothing";
}

// Runs `check` with the local clock reading hh:mm:30 today, by choosing a time zone offset.
template <typename F>
void at_local_time(int hh, int mm, F check)
{
    const char *old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    const time_t now = std::time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    const long utc_s = utc.tm_hour * 3600L + utc.tm_min * 60 + utc.tm_sec;
    long offset = (hh * 3600L + mm * 60 + 30) - utc_s; // local = utc + offset
    while (offset > 12 * 3600L)
        offset -= 24 * 3600L;
    while (offset < -12 * 3600L)
        offset += 24 * 3600L;
    // POSIX TZ counts west of Greenwich as positive.
    const long west = -offset;
    const long a = west < 0 ? -west : west;
    char tz[32];
    std::snprintf(tz, sizeof tz, "ZZZ%c%02ld:%02ld:%02ld", west < 0 ? '-' : '+', a / 3600, a / 60 % 60, a % 60);
    setenv("TZ", tz, 1);
    tzset();
    check();
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(ZelClock, WindowsOfTheDayWrapOverMidnight)
{
    at_local_time(23, 0, [] {
        EXPECT_EQ(check_current_between_time(1320, 360), 1);
        EXPECT_EQ(check_current_between_time(600, 700), 0);
        const int ms = time_current_day_ms();
        EXPECT_GE(ms, 23 * 3600000 + 30000);
        EXPECT_LT(ms, 23 * 3600000 + 40000);
    });
    at_local_time(5, 0, [] { EXPECT_EQ(check_current_between_time(1320, 360), 1); });
    at_local_time(12, 0, [] { EXPECT_EQ(check_current_between_time(1320, 360), 0); });
    at_local_time(10, 0, [] {
        EXPECT_EQ(check_current_between_time(600, 600), 1);
        EXPECT_EQ(check_current_between_time(601, 601), 0);
        EXPECT_EQ(check_current_between_time(540, 600), 1);
        const int64_t us = time_current_day_us();
        EXPECT_GE(us, (10 * 3600 + 30) * 1000000LL);
        EXPECT_LT(us, (10 * 3600 + 40) * 1000000LL);
    });
}

TEST(ZelClock, WallReadingsFollowTheTestClock)
{
    zeltest::ScopedTz tz("UTC0");
    // 2027-05-05 23:00:30 UTC.
    zeltest::TestWallClock clock(1809558030LL * 1000000);
    EXPECT_EQ(check_current_between_time(1320, 360), 1);
    EXPECT_EQ(check_current_between_time(600, 700), 0);
    const int ms = time_current_day_ms();
    EXPECT_GE(ms, 23 * 3600000 + 30000);
    EXPECT_LT(ms, 23 * 3600000 + 35000);
    EXPECT_GE(time_realtime_ms(), 1809558030ULL * 1000);
    EXPECT_LT(time_realtime_ms(), 1809558035ULL * 1000);
    clock.step(8 * 3600LL * 1000000);  // 07:00:30 the next day
    EXPECT_EQ(check_current_between_time(1320, 360), 0);
    EXPECT_GE(time_current_day_us(), (7 * 3600 + 30) * 1000000LL);
}

TEST(ZelClock, ClocksAndTimerfd)
{
    const uint64_t wall = time_realtime_ms();
    EXPECT_NEAR(static_cast<double>(wall / 1000), static_cast<double>(std::time(nullptr)), 2.0);
    EXPECT_GE(time_uptime(), 0);
    EXPECT_GE(time_monotonic(), 0);
    struct tm tm;
    const time_t t = 0;
    EXPECT_EQ(time_utc2local(&t, &tm), &tm);
    EXPECT_EQ(time_utc2local(nullptr, &tm), nullptr);

    const int fd = timer_setup();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(timer_start(fd, 20, 10), 0);
    uint64_t expiries = 0;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            uint64_t n = 0;
            if (read(fd, &n, sizeof n) == sizeof n)
                expiries += n;
            return expiries >= 3;
        },
        std::chrono::seconds(5)));
    ASSERT_EQ(timer_start(fd, 0, 0), 0) << "a first expiry of 0 fires at once";
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            uint64_t n = 0;
            return read(fd, &n, sizeof n) == sizeof n && n == 1;
        },
        std::chrono::seconds(5)));
    close(fd);
    EXPECT_EQ(timer_start(-1, 10, 0), -1);
}

TEST(ZelMem, AlignedBlocksAndCopies)
{
    for (int align : {1, 8, 64, 4096}) {
        auto *p = static_cast<unsigned char *>(lumo_malloc(100, align));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % static_cast<uintptr_t>(align < 8 ? 8 : align), 0u);
        std::memset(p, 0xab, 100);
        lumo_free(p);
    }
    errno = 0;
    EXPECT_EQ(lumo_malloc(100, 12), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(lumo_malloc(0, 8), nullptr);
    lumo_free(nullptr);
    EXPECT_EQ(lumo_round(1, 64), 64);
    EXPECT_EQ(lumo_round(64, 64), 64);
    EXPECT_EQ(lumo_round(65, 64), 128);

    std::vector<unsigned char> src(4096 + 64), dst(4096 + 64 + 63);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<unsigned char>(i * 7 + 3);
    lumo_copy(dst.data(), src.data(), 1024);
    EXPECT_EQ(std::memcmp(dst.data(), src.data(), 1024), 0);
    for (unsigned len : {0u, 100u, 126u, 127u, 200u, 4000u}) {
        for (size_t so : {0u, 5u, 63u}) {
            std::fill(dst.begin(), dst.end(), 0);
            const unsigned char *s = src.data() + so;
            auto *start = static_cast<unsigned char *>(mem_cpy_pld(dst.data() + 1, s, len));
            ASSERT_GE(start, dst.data() + 1);
            ASSERT_LE(start, dst.data() + 1 + 63);
            if (len > 126)
                EXPECT_EQ(reinterpret_cast<uintptr_t>(start) % 64, reinterpret_cast<uintptr_t>(s) % 64);
            else
                EXPECT_EQ(start, dst.data() + 1);
            EXPECT_EQ(std::memcmp(start, s, len), 0) << len << " " << so;
        }
    }
}

TEST(ZelDevInfo, SharedRecordIsMadeOnceAndCached)
{
    zeltest::TempRoot root;
    ASSERT_EQ(mkdir(root.path("/dev/shm").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(root.path("/proc/net").c_str(), 0755), 0);
    root.write_file("/proc/net/wireless", "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
                                          " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n"
                                          "  wlp2s0: 0000   70.  -40.  -256        0      0      0      0      0        0\n");
    const dev_info_t *info = dev_get_info();
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->version, "HALVORN_VERSION=5.1.7_0371");
    EXPECT_STREQ(info->numbers, "3.18.30");
    EXPECT_STREQ(info->util, "FIXME_lumo_util");
    EXPECT_STREQ(info->wlan, "wlp2s0");
    struct stat st;
    ASSERT_EQ(stat(root.path("/dev/shm/lumo-devinfo").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 228);
    ASSERT_EQ(unlink(root.path("/dev/shm/lumo-devinfo").c_str()), 0);
    EXPECT_EQ(dev_get_info(), info) << "the second call uses the cached mapping";
    EXPECT_NE(stat(root.path("/dev/shm/lumo-devinfo").c_str(), &st), 0);
}

TEST(ZelDevInfo, SharedMappingFilledOnceAndFailedFillTruncates)
{
    zeltest::TempRoot root;
    ASSERT_EQ(mkdir(root.path("/dev/shm").c_str(), 0755), 0);
    static int fills = 0;
    auto fill = [](char *record) {
        ++fills;
        std::strcpy(record, "filled");
        return 0;
    };
    char *a = static_cast<char *>(lumo_shared("t1", 64, fill));
    char *b = static_cast<char *>(lumo_shared("t1", 64, fill));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(fills, 1);
    EXPECT_STREQ(b, "filled");
    a[0] = 'F';
    EXPECT_EQ(b[0], 'F') << "both map the same file";
    munmap(a, 64);
    munmap(b, 64);

    EXPECT_EQ(lumo_shared("t2", 64, [](char *) { return -1; }), nullptr);
    struct stat st;
    ASSERT_EQ(stat(root.path("/dev/shm/lumo-t2").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(ZelDevInfo, ModelIdAndMacText)
{
    zeltest::TempRoot root;
    const std::string bin = root.path("/bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    root.write_file("/bin/factory", "#!/bin/sh\ncase \"$1 $2\" in\n"
                                    "\"get model\") echo lumo.camera.c21x ;;\n"
                                    "\"get mac\") echo a1:b2:c3:d4:e5:f6 ;;\n"
                                    "\"get dev_name\") echo hall-cam ;;\nesac\n");
    ASSERT_EQ(chmod((bin + "/factory").c_str(), 0755), 0);
    const std::string old_path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + old_path).c_str(), 1);
    char mac_text[13] = {};
    EXPECT_EQ(fill_mac_addr(mac_text, sizeof mac_text), 0);
    EXPECT_STREQ(mac_text, "a1b2c3d4e5f6");
    char name[16] = {};
    EXPECT_EQ(fill_dev_name(name, sizeof name), 0);
    EXPECT_STREQ(name, "hall-cam");
    char id[4] = {};
    EXPECT_EQ(get_model_id(id, sizeof id), 0);
    EXPECT_STREQ(id, "c21");
    char full[16] = {};
    EXPECT_EQ(get_model_id(full, sizeof full), 0);
    EXPECT_STREQ(full, "c21x");
    EXPECT_EQ(get_model_id(nullptr, 4), -1);
    setenv("PATH", bin.c_str(), 1);
    ASSERT_EQ(unlink((bin + "/factory").c_str()), 0);
    EXPECT_EQ(get_model_id(full, sizeof full), -2);
    EXPECT_EQ(fill_mac_addr(mac_text, sizeof mac_text), -2);
    EXPECT_EQ(fill_dev_name(name, sizeof name), -2);
    setenv("PATH", old_path.c_str(), 1);

    char mac[18] = {};
    const char *src = "a1:b2:c3:d4:e5:f6";
    EXPECT_EQ(get_split_mac_addr(src, 17, mac, 17), src);
    EXPECT_STREQ(mac, "a1b2c3d4e5f6");
    char small[4] = {};
    get_split_mac_addr(src, 17, small, 3);
    EXPECT_STREQ(small, "");
}

} // namespace
