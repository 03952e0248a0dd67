// Per-channel statistics of the frame ring buffer: counters kept by the writer and the readers, the
// frame-rate, bit-rate and GOP figures of each statistics period, and their report.
// Every field is a relaxed atomic, so the writer, the readers and the report handler need no lock;
// a report is a snapshot that may straddle a put by one frame.
#pragma once

#include <atomic>
#include <stddef.h>
#include <stdint.h>

#include "common/ipc/ko_message.h"
#include "common/ringbuffer/ko_av_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

// Bus handler of "upload_statistics" (uid 9): sends the report under "ringbuf.info" (in parts when
// it is too long for one), resets the counters of each part that is sent and the whole statistics
// once every part is.
void msg_ringbuf_report_stat_cb(const ko_message_arg *arg);
// The whole report text into `out`: one object whose members are arrays of nine values, channel 0
// to 8; its length, or -1 when it cannot be built or does not fit.
int ringbuffer_stat_json(char *out, size_t size);
void ringbuffer_stat_reset(void);

#ifdef __cplusplus
}
#endif

namespace ko_ringbuf {

struct ko_ringbuf_stat {
    std::atomic<uint32_t> i_frame_in{0}, p_frame_in{0}, put_frame_err_times{0};
    std::atomic<uint32_t> put_frame_min{0xFFFFFFFFu}, put_frame_max{0};
    std::atomic<uint32_t> i_frame_out{0}, p_frame_out{0}, get_no_frame_times{0};
    std::atomic<uint32_t> fps_avg{0}, fps_min{0xFFFFFFFFu}, fps_max{0};
    std::atomic<uint32_t> bitrate_avg{0}, bitrate_min{0xFFFFFFFFu}, bitrate_max{0};
    std::atomic<uint32_t> gop_avg{0}, gop_min{0xFFFFFFFFu}, gop_max{0};
    std::atomic<uint32_t> I_force_ms{0};
    // The running period.
    std::atomic<uint32_t> period_frames{0}, period_gop{0};
    std::atomic<uint64_t> period_bytes{0}, period_start_ms{0};
};

extern ko_ringbuf_stat g_stat[KO_STREAM_CHN_MAX];

inline void stat_inc(std::atomic<uint32_t> &v) { v.fetch_add(1, std::memory_order_relaxed); }
void stat_keep_max(std::atomic<uint32_t> &v, uint32_t x);
void stat_keep_min(std::atomic<uint32_t> &v, uint32_t x);
// The writer's statistics step for one offered frame (before the set-up check).
void stat_on_put(unsigned chn, uint32_t frame_type, uint32_t size);
// Sets the four minimum fields of one channel to "untouched".
void stat_reset_minimums(unsigned chn);
// Zeroes one channel's statistics (minimums to "untouched").
void stat_reset_channel(unsigned chn);
// Registers the report handler on the bus: 0, or -1.
int stat_register(void);

} // namespace ko_ringbuf
