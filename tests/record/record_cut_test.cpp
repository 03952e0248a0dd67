// Power cuts at every position of the recording file layer's fault seam: the process is forked, the
// seam ends the child at its N-th card-changing operation (every other time after writing half of a
// write), and the parent looks at what the card holds. Whatever N, the file must stay walkable to its
// end, show nothing of its previous use, keep every committed period whole, and a resume must follow
// the last commit; the pool must keep one name per file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>

#include "app/record/sd_io_test.h"
#include "app/record/sd_pool.h"
#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_demuxer_internal.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "common/tiny_fmp4/fmp4_walk.h"
#include "ko_porting_hooks_double.h"
#include "record_media.h"
#include "zel_test_support.h"

using namespace rectest;

namespace {

constexpr uint64_t kFileSize = 8 * 1024 * 1024;
constexpr uint64_t kOldStart = 1600000000;
constexpr uint64_t kNewStart = 1700000000;

// Runs `scenario` in a child whose seam ends it at operation n: true when the cut happened, false
// when the scenario finished before reaching it.
bool run_cut(uint64_t n, const std::function<void()> &scenario)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        sd_io_fault_set(n, n % 2 ? SD_IO_FAULT_KILL : SD_IO_FAULT_KILL_HALF, 0);
        scenario();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "child at cut " << n << " crashed: " << status;
    return WIFEXITED(status) && WEXITSTATUS(status) == SD_IO_FAULT_EXIT;
}

struct CardState {
    bool walkable = false;
    std::vector<fmp4_index_entry_t> entries;
    std::vector<uint64_t> committed_samples; // video samples of each committed period
};

CardState inspect(const std::string &file)
{
    CardState s;
    FILE *fp = fopen(file.c_str(), "rb");
    if (!fp)
        return s;
    fseeko(fp, 0, SEEK_END);
    const uint64_t size = static_cast<uint64_t>(ftello(fp));
    uint64_t covered = 0;
    s.walkable = fmp4::walk_file(fp, 0, size, [&](const fmp4::BoxRef &b) {
        covered += b.size;
        return true;
    }) == fmp4::WalkResult::done && covered == size;
    fclose(fp);
    fmp4_demuxer_t *d = fmp4_demuxer_open(file.c_str());
    if (!d)
        return s;
    s.entries = fmp4::demuxer_entries(d);
    for (size_t i = 0; i < s.entries.size(); i++) {
        if (s.entries[i].length == 0)
            continue;
        fmp4::PeriodInfo p;
        s.committed_samples.push_back(fmp4::demuxer_load_period(d, i, &p) ? p.samples(0) : 0);
    }
    fmp4_demuxer_close(d);
    return s;
}

class RecordCuts : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_tool("ffprobe"))
            GTEST_SKIP() << "ffprobe missing";
        video_ = load_stream(board_media("sub_864x480.h265"));
        audio_ = audio_frames(FMP4_CODEC_OPUS, 100);
        file_ = root_.dir() + "/video.mp4";
        template_ = root_.dir() + "/template.mp4";
    }

    fmp4_muxer_config_t config() const
    {
        fmp4_muxer_config_t c = muxer_config(file_, true, FMP4_CODEC_OPUS);
        c.video_bitrate = 300;
        return c;
    }

    // A recording of `seconds` from `start` into the file (cover 1), finished or cut short.
    void record(uint64_t start, int seconds, int cover, bool finish) const
    {
        fmp4_muxer_config_t c = config();
        fmp4_muxer_t *m = fmp4_muxer_init(&c, cover);
        ASSERT_NE(m, nullptr);
        FeedPlan plan;
        plan.frames = 20 * seconds;
        plan.start_s = start;
        feed(m, video_, audio_, plan);
        if (finish)
            fmp4_muxer_finish(m);
        else
            fmp4_muxer_abort(m);
    }

    void restore_template() const
    {
        std::ifstream in(template_, std::ios::binary);
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }

    // Cuts the scenario at every seam position and checks each card state; returns the number of cuts.
    int cut_everywhere(const std::function<void()> &scenario, const std::function<void(const CardState &, uint64_t)> &check,
                       const std::function<void()> &restore = nullptr,
                       const std::function<std::string()> &recording = nullptr)
    {
        int cuts = 0;
        for (uint64_t n = 1; n < 100000; n++) {
            if (restore) {
                restore();
            } else {
                restore_template();
            }
            if (!run_cut(n, scenario))
                break;
            cuts++;
            const std::string file = recording ? recording() : file_;
            const CardState s = inspect(file);
            EXPECT_TRUE(s.walkable) << "cut " << n;
            check(s, n);
            if (n % 97 == 0) { // now and then the independent reader too
                EXPECT_EQ(ffmpeg_decode_errors(file), "") << "cut " << n;
            }
            if (HasFailure())
                break;
        }
        return cuts;
    }

    zeltest::TempRoot root_;
    Stream video_;
    std::vector<std::vector<uint8_t>> audio_;
    std::string file_, template_;
};

// A 4 GiB card whose other use covers the sparse test files and leaves less than a data file free.
void script_sparse_card()
{
    zeltest::porting_hooks_reset();
    zeltest::PortingHooksScript script;
    script.card_size = 4ull << 30;
    script.card_other_used = (4ull << 30) - (64ull << 20);
    zeltest::porting_hooks_script(script);
}

void expect_whole_periods(const CardState &s, uint64_t n)
{
    size_t committed = 0;
    for (const auto &e : s.entries) {
        if (e.length == 0)
            continue;
        ASSERT_LT(committed, s.committed_samples.size());
        EXPECT_EQ(s.committed_samples[committed], e.duration * 20u) << "cut " << n << " period " << e.start;
        committed++;
    }
}

TEST_F(RecordCuts, AFreshFileThroughTwoPeriodCloses)
{
    make_pool_file(template_, kFileSize, 0);
    const int cuts = cut_everywhere([this] { record(kNewStart, 125, 1, true); },
                                    [](const CardState &s, uint64_t n) { expect_whole_periods(s, n); });
    EXPECT_GT(cuts, 50);
}

TEST_F(RecordCuts, AReusedOldFile)
{
    // The pool takes an old recording back (the oldest of three closed files) and the writer records
    // into it: from the pool's first step on, none of the old periods may be walkable again.
    make_pool_file(file_, kFileSize, 0);
    record(kOldStart, 125, 1, true);
    std::ifstream in(file_, std::ios::binary);
    const std::string old_bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string card = root_.path("/mnt/sdcard");
    script_sparse_card();
    const std::string old_name = "video_0002_0_10_20200913122640_20200913122845.mp4";
    std::string t0;
    zeltest::run_command("'" ZEL_PYTHON "' -c 'import time; print(time.strftime(\"%Y%m%d%H%M%S\", "
                         "time.localtime(0)), end=\"\")'",
                         &t0);
    auto restore = [&] {
        zeltest::run_command("rm -f '" + card + "'/*");
        std::ofstream(card + "/" + old_name, std::ios::binary) << old_bytes;
        for (const char *name : {"video_0003_0_10_20300101000000_20300101001000.mp4",
                                 "video_0004_0_10_20300101000000_20300101002000.mp4", old_name.c_str()}) {
            std::ofstream(card + "/" + name, std::ios::app).close();
            ASSERT_EQ(truncate((card + "/" + name).c_str(), 134217728), 0);
        }
        // Index files as a previous init left them (empty without index modules).
        for (const char *kind : {"videoi", "pici", "event"})
            std::ofstream(card + "/" + kind + "_0001_9999_100_" + t0 + "_" + t0 + ".index").close();
    };
    std::string current;
    auto recording = [&card, &current] {
        std::string out;
        zeltest::run_command("ls '" + card + "' | grep '^video_0002_'", &out);
        current = out.substr(0, out.find('\n'));
        return card + "/" + current;
    };
    auto scenario = [this] {
        if (sd_init("/mnt/sdcard", 1, 0, 0, 0, [](int) {}) != 0)
            _exit(3);
        int cover = 0;
        sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
        if (!f || f->number != 2)
            _exit(4);
        char path[1024];
        sd_get_path(f->path, path);
        const std::string name = f->path;
        fmp4_muxer_config_t c = config();
        snprintf(c.path, sizeof c.path, "%s", path);
        fmp4_muxer_t *m = fmp4_muxer_init(&c, cover);
        FeedPlan plan;
        plan.frames = 20 * 125;
        plan.start_s = kNewStart;
        feed(m, video_, audio_, plan);
        fmp4_muxer_finish(m);
        sd_set_file_status(name.c_str(), SD_KIND_VIDEO, 0, kNewStart, kNewStart + 125);
        sd_uninit();
    };
    const int cuts = cut_everywhere(scenario,
                                    [&](const CardState &s, uint64_t n) {
                                        // Under its old name the file is either untouched or blank.
                                        const bool untouched = current == old_name && s.entries.size() == 3 &&
                                                               s.entries[0].start == kOldStart;
                                        for (const auto &e : s.entries)
                                            EXPECT_TRUE(untouched || e.start >= kNewStart)
                                                << "cut " << n << " (" << current << "): old period walkable";
                                        expect_whole_periods(s, n);
                                    },
                                    restore, recording);
    EXPECT_GT(cuts, 50);
}

TEST_F(RecordCuts, AResumeFollowsTheLastCommit)
{
    make_pool_file(file_, kFileSize, 0);
    record(kOldStart, 70, 1, false); // one committed period, 10 s uncommitted behind it
    std::rename(file_.c_str(), template_.c_str());
    const int cuts = cut_everywhere([this] { record(kNewStart, 65, 0, true); },
                                    [this](const CardState &s, uint64_t n) {
                                        ASSERT_FALSE(s.entries.empty()) << "cut " << n;
                                        EXPECT_EQ(s.entries[0].start, kOldStart) << "cut " << n;
                                        EXPECT_EQ(s.entries[0].duration, 60) << "cut " << n;
                                        // Only a cut before the first write leaves the old uncommitted
                                        // period, still uncommitted; no old box follows a new one.
                                        for (size_t i = 1; i < s.entries.size(); i++)
                                            EXPECT_TRUE(s.entries[i].start >= kNewStart ||
                                                        (s.entries[i].length == 0 && i + 1 == s.entries.size()))
                                                << "cut " << n << ": the uncommitted tail came back";
                                        expect_whole_periods(s, n);
                                        if (n % 10 != 0)
                                            return;
                                        // A later resume continues right behind the last commit.
                                        uint64_t behind = 0;
                                        for (const auto &e : s.entries)
                                            if (e.length)
                                                behind = e.position + e.length;
                                        record(1800000000, 5, 0, true);
                                        const CardState after = inspect(file_);
                                        ASSERT_FALSE(after.entries.empty());
                                        EXPECT_EQ(after.entries.back().start, 1800000000u) << "cut " << n;
                                        EXPECT_EQ(after.entries.back().position, behind) << "cut " << n;
                                    });
    EXPECT_GT(cuts, 20);
}

TEST_F(RecordCuts, ARenameKeepsOneNamePerFile)
{
    const std::string card = root_.path("/mnt/sdcard");
    script_sparse_card();
    for (const char *name : {"zreserved_0000_9999_0_19700101000000_19700101000000.bin",
                             "zreserved_0001_9999_0_19700101000000_19700101000000.bin",
                             "video_0002_0_10_20231114221320_20231114222320.mp4"}) {
        std::ofstream(card + "/" + name).close();
        ASSERT_EQ(truncate((card + "/" + name).c_str(), 134217728), 0);
    }
    auto numbers = [&card] {
        std::string out;
        zeltest::run_command("ls '" + card + "' | grep -E '^(zreserved|video|pic)_' | cut -d_ -f2", &out);
        std::multiset<std::string> n;
        size_t at = 0;
        while (at < out.size()) {
            const size_t nl = out.find('\n', at);
            n.insert(out.substr(at, nl - at));
            at = nl + 1;
        }
        return n;
    };
    auto status = [](int) {};
    int cuts = 0;
    for (uint64_t n = 1; n < 1000; n++) {
        const bool cut = run_cut(n, [&] {
            if (sd_init("/mnt/sdcard", 1, 0, 0, 0, status) != 0)
                _exit(3);
            int cover = 0;
            sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
            if (!f)
                _exit(4);
            const std::string open_name = f->path;
            sd_set_file_status(open_name.c_str(), SD_KIND_VIDEO, 0, 1700000000, 1700000600);
            f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 1, &cover);
            sd_uninit();
        });
        const auto seen = numbers();
        EXPECT_EQ(seen.size(), 3u) << "cut " << n;
        EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size()) << "cut " << n;
        if (!cut || HasFailure())
            break;
        cuts++;
    }
    EXPECT_GT(cuts, 3);
}

} // namespace
