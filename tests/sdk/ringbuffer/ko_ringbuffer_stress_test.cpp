// The frame ring buffer with one writer and several readers at full speed: every frame a reader gets
// must be byte-identical to what was put (each frame carries its sequence number and a CRC-32 of
// its bytes), no frame is delivered twice, and a video reader that skips lands on a key frame.
// Meant to run under ThreadSanitizer as well (-DZELMAR_TSAN=ON).
#include "ko_ringbuffer_test.h"

#include <chrono>
#include <random>
#include <thread>

#include "common/utils/ko_crc32.h"

using namespace ringtest;
using namespace std::chrono;

namespace {

// Frame contents: a window of random bytes, the sequence number in the first 8 bytes and the CRC-32
// of everything before them in the last 4.
class FrameSource {
public:
    FrameSource(uint32_t min_size, uint32_t max_size) : min_(min_size), max_(max_size), noise_(max_size + 65536)
    {
        std::mt19937 rng(1234);
        for (auto &b : noise_)
            b = (uint8_t)rng();
    }
    uint32_t make(uint64_t seq, std::vector<uint8_t> *out) const
    {
        const uint32_t size = min_ + (uint32_t)((seq * 2654435761u) % (max_ - min_ + 1));
        out->assign(noise_.begin() + (long)(seq * 977 % 65536), noise_.begin() + (long)(seq * 977 % 65536) + size);
        memcpy(out->data(), &seq, 8);
        const uint32_t crc = ko_crc32_total(out->data(), size - 4);
        memcpy(out->data() + size - 4, &crc, 4);
        return size;
    }

private:
    uint32_t min_, max_;
    std::vector<uint8_t> noise_;
};

struct ReaderResult {
    uint64_t delivered = 0, corrupt = 0, out_of_order = 0, skips_off_key = 0, nothing = 0;
};

bool intact(const ko_av_frame &f)
{
    if (f.size < 12)
        return false;
    const auto *p = static_cast<const uint8_t *>(f.data);
    uint64_t seq;
    uint32_t crc;
    memcpy(&seq, p, 8);
    memcpy(&crc, p + f.size - 4, 4);
    return (uint32_t)seq == f.seq_no && ko_crc32_total(p, f.size - 4) == crc;
}

struct Run {
    unsigned channel;
    bool video;
    uint32_t gop;
    unsigned readers;
    unsigned slow_reader; // this reader sleeps between reads (KO_RINGBUF_READERS: none)
    uint32_t min_size, max_size;
    milliseconds duration;
};

std::vector<ReaderResult> run(const Run &r, uint64_t *frames_put)
{
    FrameSource source(r.min_size, r.max_size);
    std::atomic<bool> stop{false};
    std::vector<ReaderResult> results(r.readers);
    std::vector<std::thread> threads;
    for (unsigned u = 0; u < r.readers; u++) {
        threads.emplace_back([&, u] {
            std::vector<uint8_t> buf(ringbuffer_get_max_frame_size(r.channel));
            ReaderResult &res = results[u];
            uint32_t last = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                ko_av_frame f;
                const int rc = r.video ? ringbuffer_get_video_frame(r.channel, u, &f, buf.data(), (uint32_t)buf.size())
                                       : ringbuffer_get_audio_frame(r.channel, u, &f, buf.data(), (uint32_t)buf.size());
                if (rc != 0) {
                    res.nothing++;
                    std::this_thread::yield();
                    continue;
                }
                res.delivered++;
                if (!intact(f))
                    res.corrupt++;
                if (last && f.seq_no <= last)
                    res.out_of_order++;
                if (r.video && last && f.seq_no != last + 1 && f.frame_type != KO_FRAME_TYPE_I)
                    res.skips_off_key++;
                last = f.seq_no;
                if (u == r.slow_reader)
                    std::this_thread::sleep_for(microseconds(300));
            }
        });
    }
    std::vector<uint8_t> frame;
    uint64_t seq = 0;
    const auto end = steady_clock::now() + r.duration;
    while (steady_clock::now() < end) {
        seq++;
        ko_av_frame f;
        memset(&f, 0, sizeof f);
        f.size = source.make(seq, &frame);
        f.data = frame.data();
        f.frame_type = !r.video ? KO_FRAME_TYPE_AUDIO : (seq % r.gop == 1 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P);
        EXPECT_EQ(ringbuffer_put_frame(r.channel, &f), 0);
    }
    stop = true;
    for (auto &t : threads)
        t.join();
    *frames_put = seq;
    return results;
}

void expect_clean(const std::vector<ReaderResult> &results, uint64_t put)
{
    uint64_t total = 0;
    for (size_t u = 0; u < results.size(); u++) {
        const ReaderResult &r = results[u];
        EXPECT_EQ(r.corrupt, 0u) << "reader " << u;
        EXPECT_EQ(r.out_of_order, 0u) << "reader " << u;
        EXPECT_EQ(r.skips_off_key, 0u) << "reader " << u;
        EXPECT_GT(r.delivered, 0u) << "reader " << u;
        total += r.delivered;
        printf("reader %zu: %llu delivered, %llu empty reads\n", u, (unsigned long long)r.delivered,
               (unsigned long long)r.nothing);
    }
    printf("%llu frames put, %llu delivered in all\n", (unsigned long long)put, (unsigned long long)total);
}

} // namespace

// A 24 KiB area with frames up to its 8 KiB maximum: the writer laps the readers all the time, so
// the overrun check is what keeps torn frames out.
TEST_F(Ring, TinyVideoRingUnderConstantOverrun)
{
    ko_stream_chn_info v = video_info(0, 64, 10, 10, 3);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    uint64_t put = 0;
    auto results = run({0, true, 10, 4, 3, 12, 8192, milliseconds(1500)}, &put);
    expect_clean(results, put);
}

TEST_F(Ring, MainStreamSizedVideoRingWithThreeReaders)
{
    ko_stream_chn_info v = video_info(0, 2000, 20, 60, 7);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    uint64_t put = 0;
    auto results = run({0, true, 60, 3, KO_RINGBUF_READERS, 1000, 150000, milliseconds(1500)}, &put);
    expect_clean(results, put);
}

TEST_F(Ring, AudioRingWithEightReaders)
{
    ko_stream_chn_info a = audio_info(4, 16, 25, 3);
    ASSERT_EQ(ringbuffer_init(&a), 0);
    uint64_t put = 0;
    auto results = run({4, false, 0, 8, 7, 12, 4096, milliseconds(1500)}, &put);
    expect_clean(results, put);
}
