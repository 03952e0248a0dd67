// The threads of an authorised session: the sender of the queued media, the receivers of talk-back
// audio, phone video and RDT blocks, and the link-type watch of a relayed session.
#include <arpa/inet.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_errors.h"
#include "vasq_mem.h"
#include "zt_errors.h"
#include "zt_internal.h"

namespace {

using zt::kModule;

constexpr uint32_t kVideoUnsentLimit = 0x20000;
constexpr uint32_t kAudioUnsentLimit = 0x1000;
constexpr int kPrefix = 4;
constexpr int kFrameHead = kPrefix + VASQ_RING_HEADER;

bool rings_empty(vasq_session *s)
{
    return ring_buf_frame_count(s->video_ring) == 0 && ring_buf_frame_count(s->audio_ring) == 0;
}

// Waits for a frame. The test runs under the condition's mutex, so a put's signal cannot slip in
// between; the timed wait bounds what a missed wake-up could cost.
void wait_for_frames(vasq_session *s)
{
    pthread_mutex_lock(&s->cond_lock);
    while (vasq_state(s) == VASQ_STATE_NORMAL && rings_empty(s)) {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 100 * 1000 * 1000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(&s->send_cond, &s->cond_lock, &until);
    }
    pthread_mutex_unlock(&s->cond_lock);
}

// One frame of the ring as [32 + n][header][payload] in one write; false when the ring is empty.
bool send_one(vasq_session *s, vasq_ring *ring, int channel, char *buf, size_t capacity)
{
    vasq_frame_info header;
    if (ring_buf_get_frame(ring, &header, buf + kFrameHead, capacity) != 0)
        return false;
    const uint32_t be = htonl(header.length + VASQ_RING_HEADER);
    memcpy(buf, &be, kPrefix);
    memcpy(buf + kPrefix, &header, VASQ_RING_HEADER);
    // A failed write is left to the command thread, which sees the broken session.
    zt::write_all(s->handle, channel, buf, static_cast<int>(header.length) + kFrameHead);
    return true;
}

// The transport still holds too much of this session's media: give it time.
bool transport_backlogged(vasq_session *s)
{
    uint32_t video = 0, audio = 0;
    ZTP_Check_Buffer(s->handle, ZT_CH_VIDEO, &video, nullptr);
    ZTP_Check_Buffer(s->handle, ZT_CH_AUDIO, &audio, nullptr);
    if (video <= kVideoUnsentLimit && audio <= kAudioUnsentLimit)
        return false;
    if (s->send_pause_count++ % 100 == 0)
        KO_LOGW(kModule, "vw_size: %u, aw_size: %u\n", video, audio);
    return true;
}

// A receive thread's end: the whole session ends with it.
void receive_ended(vasq_session *s, int r)
{
    int code;
    switch (r) {
    case -VASQ_ERR_CLOSE_BY_TIMEOUT:
        code = VASQ_ERR_CLOSE_BY_TIMEOUT;
        KO_LOGW(kModule, "ZTP ZTP_Read close by TIMEOUT.\n");
        break;
    case -VASQ_ERR_CLOSE_BY_REMOTE:
        code = VASQ_ERR_CLOSE_BY_REMOTE;
        KO_LOGW(kModule, "ZTP ZTP_Read close by remote.\n");
        break;
    case -VASQ_ERR_CLOSE_BY_LOCAL:
        code = VASQ_ERR_CLOSE_BY_LOCAL;
        KO_LOGW(kModule, "ZTP ZTP_Read close by LOCAL.\n");
        break;
    default:
        code = VASQ_ERR_ABORTED;
        KO_LOGW(kModule, "ZTP ZTP_Read error: %d.\n", r);
        break;
    }
    session_error_code(s, code);
    vasq_set_state(s, VASQ_STATE_DISCONNECT);
}

using Process = int (*)(vasq_session *, char *, char *, int);

void receive_loop(vasq_session *s, int channel, int size, Process process, bool whole)
{
    char *buf = static_cast<char *>(vasq_malloc(static_cast<size_t>(size)));
    if (!buf) {
        KO_LOGE(kModule, "zt_recv_function can't alloc buf(%x).\n", size);
        session_error_code(s, VASQ_ERR_NOT_ENOUGH_MEMORY);
        vasq_set_state(s, VASQ_STATE_DISCONNECT);
        return;
    }
    while (vasq_state(s) == VASQ_STATE_NORMAL) {
        const int n = zt_read(s, channel, buf, size);
        if (vasq_state(s) != VASQ_STATE_NORMAL)
            break;
        if (n < 0) {
            receive_ended(s, n);
            break;
        }
        if (n == 0)
            continue;
        if (whole)
            process(s, buf, buf, n);
        else if (n >= VASQ_RING_HEADER)
            process(s, buf, buf + VASQ_RING_HEADER, n - VASQ_RING_HEADER);
        else
            KO_LOGW(kModule, "channel %d frame of %d bytes without a header\n", channel, n);
    }
    vasq_free(buf);
}

} // namespace

void *zt::send_thread(void *arg)
{
    auto *s = static_cast<vasq_session *>(arg);
    // Both rings feed this buffer: it holds the largest frame either can keep.
    const size_t capacity = static_cast<size_t>(std::max(s->send_video_size, s->send_audio_size));
    char *buf = static_cast<char *>(vasq_malloc(capacity + kFrameHead));
    if (!buf) {
        session_error_code(s, VASQ_ERR_NOT_ENOUGH_MEMORY);
        vasq_set_state(s, VASQ_STATE_DISCONNECT);
        return nullptr;
    }
    while (vasq_state(s) == VASQ_STATE_NORMAL) {
        wait_for_frames(s);
        if (vasq_state(s) != VASQ_STATE_NORMAL)
            break;
        if (transport_backlogged(s)) {
            usleep(20 * 1000);
            continue;
        }
        send_one(s, s->video_ring, ZT_CH_VIDEO, buf, capacity);
        send_one(s, s->audio_ring, ZT_CH_AUDIO, buf, capacity);
    }
    vasq_free(buf);
    get_status(s->handle, nullptr);
    KO_LOGI(kModule, "zt_send_thread exit.\n");
    return nullptr;
}

void *zt::audio_recv_thread(void *arg)
{
    auto *s = static_cast<vasq_session *>(arg);
    receive_loop(s, ZT_CH_AUDIO, s->recv_audio_size, vasq_audio_process, false);
    return nullptr;
}

void *zt::video_recv_thread(void *arg)
{
    auto *s = static_cast<vasq_session *>(arg);
    receive_loop(s, ZT_CH_VIDEO, s->recv_video_size, vasq_video_process, false);
    return nullptr;
}

void *zt::rdt_recv_thread(void *arg)
{
    auto *s = static_cast<vasq_session *>(arg);
    receive_loop(s, ZT_CH_RDT, 4096, vasq_rdt_process, true);
    return nullptr;
}

void *zt::statistics_thread(void *arg)
{
    auto *s = static_cast<vasq_session *>(arg);
    // Readings when more than 0, 1, 2, 4, ... 64 s have passed.
    static const uint64_t kAfterMs[] = {0, 1000, 2000, 4000, 8000, 16000, 32000, 64000};
    const uint64_t start = vexa_time_tick_ms();
    size_t readings = 0;
    while (readings < sizeof kAfterMs / sizeof kAfterMs[0] && vasq_state(s) == VASQ_STATE_NORMAL) {
        if (vexa_time_tick_ms() - start <= kAfterMs[readings]) {
            usleep(5 * 1000);
            continue;
        }
        readings++;
        int link = s->link_type;
        if (get_status(s->handle, &link) == 0)
            s->link_type = link;
        if (link != 2)
            break;
    }
    if (vasq_report_connection(s, 0) == 0)
        KO_LOGI(kModule, "vasq_report_connection success, sid=%d, type=%d.\n", s->handle, s->link_type);
    else
        KO_LOGW(kModule, "vasq_report_connection fail, sid=%d.\n", s->handle);
    return nullptr;
}
