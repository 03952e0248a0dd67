// A pool on a directory (IndexPool) with recordings in it: an x264 stream of GOP 60 at 20 fps with
// Opus audio, written by the fragmented-MP4 writer into pool files whose periods the video index
// lists.
#pragma once

#include <pthread.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/record/record_index.h"
#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "index_pool_fixture.h"
#include "record_media.h"

namespace rectest {

class RecordedPool : public IndexPool {
protected:
    void SetUp() override
    {
        IndexPool::SetUp();
        if (!have_tool("ffmpeg"))
            GTEST_SKIP() << "ffmpeg is needed for the test stream";
        ASSERT_EQ(init(), 0);
        ASSERT_EQ(record_index_init(1), 0);
        const std::string made = make_stream(root_.path("/tmp"), "slices.h264", kX264SlicesAud);
        ASSERT_FALSE(made.empty());
        stream_ = load_stream(made);
        ASSERT_EQ(stream_.keys() * 60, static_cast<int>(stream_.units.size())) << "GOP 60";
    }

    // Records `seconds` from `start` into a pool file and lists its periods in the video index.
    void record(uint32_t start, int seconds)
    {
        int cover = 0;
        sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
        ASSERT_NE(f, nullptr);
        const std::string name = f->path;
        const fmp4_muxer_config_t cfg = muxer_config(card(name), false, 1032, 60, 20);
        fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
        ASSERT_NE(m, nullptr);
        FeedPlan plan;
        plan.frames = seconds * 20;
        plan.start_s = start;
        feed(m, stream_, audio_frames(1032, static_cast<size_t>(seconds) * 25 + 25), plan);
        ASSERT_EQ(fmp4_muxer_finish(m), 0);
        fmp4_demuxer_t *d = fmp4_demuxer_open(card(name).c_str());
        ASSERT_NE(d, nullptr);
        const fmp4_index_entry_t *entries = nullptr;
        uint32_t bytes = 0;
        ASSERT_EQ(fmp4_demuxer_read_fileinfo(d, &entries, &bytes), 0);
        std::vector<fmp4_index_entry_t> list(entries, entries + bytes / FMP4_INDEX_ENTRY_SIZE);
        fmp4_demuxer_close(d);
        // Closed with its times, as the recorder does when a file is full, so the next one is another.
        ASSERT_EQ(sd_set_file_status(name.c_str(), SD_KIND_VIDEO, 0, start, start + seconds), 0);
        std::string closed;
        ASSERT_TRUE(zeltest::wait_until(
            [&] {
                pthread_mutex_lock(&f->lock);
                const bool done = !f->busy;
                closed = f->path;
                pthread_mutex_unlock(&f->lock);
                return done;
            },
            std::chrono::seconds(10)));
        ASSERT_NE(closed, name);
        for (const fmp4_index_entry_t &e : list) {
            record_index_entry_t r{e.start, e.duration, 0, 0, 0};
            ASSERT_EQ(record_add_index(0, &r, closed.c_str()), 0);
            periods_.push_back(e.start);
        }
    }

    Stream stream_;
    std::vector<uint32_t> periods_;
};

} // namespace rectest
