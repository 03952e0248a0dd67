// Lookups in a video index of 10,000 records: record_find_record_info near the newest record and
// record_get_index_all, beside the baseline of one pread of the raw index file and a loop over its
// records with their CRC. Goal: each at most 1.5x the baseline.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/record/record_index.h"
#include "app/record/sd_pool.h"
#include "common/utils/ko_crc32.h"
#include "common/utils/ko_log.h"
#include "ko_porting_hooks_double.h"
#include "zel_test_support.h"

namespace {

constexpr uint32_t kRecords = 10000;
constexpr uint32_t kT0 = 1700000000;

struct Index {
    std::unique_ptr<zeltest::TempRoot> root;
    std::string path; // the index file
};

Index &index()
{
    static Index ix = [] {
        Index out;
        ko_log_param log{};
        log.level = KO_LOG_ERROR;
        log.output = KO_LOG_OUT_CONSOLE;
        ko_log_init(&log);
        out.root = std::make_unique<zeltest::TempRoot>();
        zeltest::porting_hooks_reset();
        zeltest::PortingHooksScript script;
        script.card_size = 5ull << 30;
        script.card_other_used = (5ull << 30) - (64ull << 20);
        zeltest::porting_hooks_script(script);
        for (int i = 1; i <= 3; i++) {
            const std::string f = out.root->path("/mnt/sdcard/zreserved_000" + std::to_string(i) +
                                                 "_9999_0_19700101000000_19700101000000.bin");
            std::ofstream(f).close();
            if (truncate(f.c_str(), 134217728) != 0)
                abort();
        }
        if (sd_init("/mnt/sdcard", 1, 0, 0, 0, [](int) {}) != 0)
            abort();
        for (uint32_t i = 0; i < kRecords; i++) {
            record_index_entry_t e{kT0 + i * 60, 60, 0, 0, 0};
            if (record_add_index(0, &e, "video_0001_0_10_a.mp4") != 0)
                abort();
        }
        sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEOI, 0, nullptr);
        out.path = out.root->path("/mnt/sdcard/") + f->path;
        return out;
    }();
    return ix;
}

void BM_Baseline_PreadAndCrcLoop(benchmark::State &state)
{
    const std::string path = index().path;
    const int fd = open(path.c_str(), O_RDONLY);
    const off_t size = lseek(fd, 0, SEEK_END);
    std::vector<uint8_t> buf(static_cast<size_t>(size));
    for (auto _ : state) {
        if (pread(fd, buf.data(), buf.size(), 0) != size)
            abort();
        uint32_t valid = 0;
        for (size_t off = 128; off + 144 <= buf.size(); off += 144) {
            const uint8_t *s = buf.data() + off;
            const uint32_t crc = s[140] | s[141] << 8 | s[142] << 16 | static_cast<uint32_t>(s[143]) << 24;
            valid += ko_crc32_total(s, 140) == crc;
        }
        benchmark::DoNotOptimize(valid);
    }
    close(fd);
}
BENCHMARK(BM_Baseline_PreadAndCrcLoop)->Unit(benchmark::kMicrosecond);

void BM_FindNearTheNewest(benchmark::State &state)
{
    index();
    record_index_record_t r{};
    for (auto _ : state)
        if (record_find_record_info(0, kT0 + (kRecords - 10) * 60ull, &r, 0) != 1)
            abort();
}
BENCHMARK(BM_FindNearTheNewest)->Unit(benchmark::kMicrosecond);

void BM_ListAll(benchmark::State &state)
{
    index();
    for (auto _ : state) {
        uint64_t bytes = 0;
        record_get_index_all(
            0,
            [](int, uint32_t, uint32_t, const uint8_t *, uint32_t len, void *user) {
                *static_cast<uint64_t *>(user) += len;
                return 0;
            },
            64 * 1024, &bytes);
        if (bytes != 12 + 8ull * kRecords)
            abort();
    }
}
BENCHMARK(BM_ListAll)->Unit(benchmark::kMicrosecond);

} // namespace
