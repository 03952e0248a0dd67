// Length-prefixed blocks on the transport channels, and the sends and queries of one session.
#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_errors.h"
#include "zt_errors.h"
#include "zt_internal.h"

namespace {

constexpr int kRdtLimit = 0x200000;
// A channel that takes nothing holds all the blocks it can until the peer acknowledges them; a
// peer that acknowledges nothing for this long is not waited for any more.
constexpr uint64_t kFullChannelWaitMs = 10000;
constexpr useconds_t kFullChannelStepUs = 10 * 1000;

enum class Fill { done, closed, expired, error };

// A phone that has not authorised in time gives its transport slot back.
bool authorisation_expired(const vasq_session *s)
{
    return vasq_state(s) < VASQ_STATE_NORMAL &&
           vexa_time_tick_ms() - s->accept_tick_ms > static_cast<uint64_t>(ZT_AUTH_LIMIT_MS);
}

// Reads `n` bytes in slices; *got holds what arrived, *error the transport's code on Fill::error.
Fill fill(vasq_session *s, int channel, char *dst, int n, int *got, int *error)
{
    while (*got < n) {
        if (vasq_state(s) == VASQ_STATE_DISCONNECT)
            return Fill::closed;
        if (authorisation_expired(s))
            return Fill::expired;
        int size = n - *got;
        const int r = ZTP_Read(s->handle, static_cast<uint8_t>(channel), dst + *got, &size, ZT_READ_SLICE_MS);
        if (r != 0 && r != ERROR_ZTP_TIME_OUT) {
            *error = r;
            return Fill::error;
        }
        if (size > 0)
            *got += size;
    }
    return Fill::done;
}

int read_failure(vasq_session *s, Fill f, int error, int channel)
{
    if (f == Fill::expired) {
        KO_LOGW(zt::kModule, "session(%d) not authorised within %d ms\n", s->handle, ZT_AUTH_LIMIT_MS);
        session_error_code(s, VASQ_ERR_CLOSE_BY_TIMEOUT);
        return -VASQ_ERR_CLOSE_BY_TIMEOUT;
    }
    if (f == Fill::closed)
        return -VASQ_ERR_CLOSE_BY_LOCAL;
    KO_LOGW(zt::kModule, "ZTP_Read channel %d: %d(%s)\n", channel, error, zt_error_name(error));
    return -zt_read_error(error);
}

// Reads and drops `length` bytes through `buffer`.
int discard(vasq_session *s, int channel, char *buffer, int capacity, uint32_t length)
{
    uint32_t left = length;
    while (left > 0) {
        const int chunk = left < static_cast<uint32_t>(capacity) ? static_cast<int>(left) : capacity;
        int got = 0, error = 0;
        const Fill f = fill(s, channel, buffer, chunk, &got, &error);
        if (f != Fill::done)
            return read_failure(s, f, error, channel);
        left -= static_cast<uint32_t>(chunk);
    }
    return 0;
}

} // namespace

int zt_read(vasq_session *s, int channel, char *buffer, int capacity)
{
    if (!s || !buffer || capacity <= 0)
        return -VASQ_ERR_INVALID_ARG;
    uint8_t prefix[4];
    int got = 0, error = 0;
    Fill f = fill(s, channel, reinterpret_cast<char *>(prefix), 4, &got, &error);
    if (f != Fill::done)
        return read_failure(s, f, error, channel);
    const uint32_t length = static_cast<uint32_t>(prefix[0]) << 24 | static_cast<uint32_t>(prefix[1]) << 16 |
                            static_cast<uint32_t>(prefix[2]) << 8 | prefix[3];
    if (length > static_cast<uint32_t>(capacity)) {
        KO_LOGW(zt::kModule, "channel %d block of %u bytes over %d: read away\n", channel, length, capacity);
        const int r = discard(s, channel, buffer, capacity, length);
        return r < 0 ? r : 0;
    }
    got = 0;
    f = fill(s, channel, buffer, static_cast<int>(length), &got, &error);
    if (f == Fill::closed)
        return got;
    if (f != Fill::done)
        return read_failure(s, f, error, channel);
    return static_cast<int>(length);
}

int zt::write_all(int handle, int channel, const void *data, int length)
{
    const char *p = static_cast<const char *>(data);
    int off = 0;
    uint64_t full_since = 0;
    while (off < length) {
        const int r = ZTP_Write(handle, static_cast<uint8_t>(channel), p + off, length - off);
        if (r < 0) {
            KO_LOGW(kModule, "zt_write result: %d(%s)\n", r, zt_error_name(r));
            return zt_write_error(r);
        }
        if (r > 0) {
            off += r;
            full_since = 0;
            continue;
        }
        const uint64_t now = vexa_time_tick_ms();
        if (full_since == 0) {
            full_since = now;
        } else if (now - full_since > kFullChannelWaitMs) {
            KO_LOGW(kModule, "zt_write: channel %d took nothing for %llu ms\n", channel,
                    static_cast<unsigned long long>(now - full_since));
            return VASQ_ERR_ABORTED;
        }
        usleep(kFullChannelStepUs);
    }
    return 0;
}

int zt_write(int handle, int channel, const void *data, int length)
{
    if (length < 0 || (length > 0 && !data))
        return VASQ_ERR_INVALID_ARG;
    const uint32_t be = htonl(static_cast<uint32_t>(length));
    const int r = zt::write_all(handle, channel, &be, 4);
    return r != 0 || length == 0 ? r : zt::write_all(handle, channel, data, length);
}

namespace {

// A write from outside the session's threads: the handle cannot be closed (and handed to the next
// phone) while it runs.
int locked_write(vasq_session *s, int channel, const void *data, int length)
{
    pthread_mutex_lock(&s->handle_lock);
    const int r = s->handle >= 0 ? zt_write(s->handle, channel, data, length) : VASQ_ERR_SESSION_HANDLE;
    pthread_mutex_unlock(&s->handle_lock);
    return r;
}

} // namespace

int zt_cmd_send(vasq_session *s, int code, const void *data, int length)
{
    if (!s || length < 0 || length > VASQ_CMD_MAX - 4 || (length > 0 && !data))
        return VASQ_ERR_INVALID_ARG;
    char buf[VASQ_CMD_MAX];
    const uint32_t be = htonl(static_cast<uint32_t>(code));
    memcpy(buf, &be, 4);
    if (length > 0)
        memcpy(buf + 4, data, static_cast<size_t>(length));
    return locked_write(s, ZT_CH_CMD, buf, length + 4);
}

void zt::wake_sender(vasq_session *s)
{
    // Taking the lock orders this wake-up after the sender's look at the rings or after its start
    // to wait; signalling once it is released spares the woken sender a wait for it.
    pthread_mutex_lock(&s->cond_lock);
    pthread_mutex_unlock(&s->cond_lock);
    pthread_cond_signal(&s->send_cond);
}

int zt_av_send(vasq_session *s, const vasq_frame_info *header, const void *payload, int is_video)
{
    if (!s)
        return VASQ_ERR_INVALID_ARG;
    const int r = ring_buf_put_frame(is_video ? s->video_ring : s->audio_ring, header, payload);
    if (r == 0)
        zt::wake_sender(s);
    return r;
}

int zt_rdt_send(vasq_session *s, const void *data, int length)
{
    if (!s || length > kRdtLimit)
        return VASQ_ERR_INVALID_ARG;
    for (unsigned pass = 0; vasq_state(s) == VASQ_STATE_NORMAL; pass++) {
        uint32_t unsent = 0;
        pthread_mutex_lock(&s->handle_lock);
        const int r = ZTP_Check_Buffer(s->handle, ZT_CH_RDT, &unsent, nullptr);
        pthread_mutex_unlock(&s->handle_lock);
        if (r < 0) {
            KO_LOGW(zt::kModule, "ZTP_Check_Buffer fail, ret: %d\n", r);
            return r;
        }
        if (unsent + static_cast<uint64_t>(length) <= kRdtLimit)
            break;
        if (pass % 100 == 0)
            KO_LOGW(zt::kModule, "rtd send too fast or too large, rdt used %u bytes, wait ...\n", unsent);
        usleep(30 * 1000);
    }
    return locked_write(s, ZT_CH_RDT, data, length);
}

int zt_local_status(vasq_session *s, int query)
{
    if (!s)
        return 0;
    switch (query) {
    case 4:
        ring_buf_reset(s->video_ring);
        ring_buf_reset(s->audio_ring);
        return -1;
    case 5: ring_buf_reset(s->audio_ring); return -1;
    case 6: return ring_buf_size(s->audio_ring);
    case 7: return ring_buf_free_len(s->audio_ring);
    case 8: return ring_buf_data_len(s->audio_ring);
    case 9: return ring_buf_frame_count(s->audio_ring);
    case 10: ring_buf_reset(s->video_ring); return -1;
    case 11: return ring_buf_size(s->video_ring);
    case 12: return ring_buf_free_len(s->video_ring);
    case 13: return ring_buf_data_len(s->video_ring);
    case 14: return ring_buf_frame_count(s->video_ring);
    default: return 0;
    }
}
