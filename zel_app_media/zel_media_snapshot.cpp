// JPEG snapshots for the business layer. Each calling thread has its own 128 KiB buffer, valid until
// that thread's next snapshot, so a snapshot taken on one thread never overwrites a JPEG that another
// thread is still sending. The board is asked one snapshot at a time.
#include "zel_media.h"
#include "zel_media_state.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"

#include <cstring>
#include <memory>
#include <mutex>

using media::kTag;

int g_jpeg_is_getting = 1;

namespace {

constexpr int kJpegBytes = 131072;

std::mutex g_snap_lock;

uint8_t *thread_buffer()
{
    thread_local std::unique_ptr<uint8_t[]> buffer;
    if (!buffer)
        buffer.reset(new (std::nothrow) uint8_t[kJpegBytes]);
    return buffer.get();
}

void set_getting(int value)
{
    __atomic_store_n(&g_jpeg_is_getting, value, __ATOMIC_RELEASE);
}

} // namespace

int zel_media_get_snapshot(void **jpeg, int *len)
{
    if (!media::board_ready(__func__))
        return -1;
    if (media::reloading()) {
        set_getting(1);
        ZEL_LOGE(kTag, "board_av is reloading, pls wait\n");
        return -1;
    }
    uint8_t *buffer = thread_buffer();
    if (!buffer || !jpeg || !len) {
        ZEL_LOGE(kTag, "%s: %s", __func__, buffer ? "no place for the result" : "no memory for the snapshot");
        return -1;
    }
    std::lock_guard<std::mutex> l(g_snap_lock);
    set_getting(0);
    memset(buffer, 0, kJpegBytes);
    board_jpeg_info_t info{};
    int ret = -1;
    {
        media::BoardCall call;
        if (call.entered())
            ret = get_jpeg_snap(buffer, kJpegBytes, &info);
    }
    set_getting(1);
    int length = info.length;
    if (ret < 0) {
        ZEL_LOGW(kTag, " Got jpeg error \n");
        length = 0;
    } else if (length < 0 || length > kJpegBytes) {
        ZEL_LOGW(kTag, " Got jpeg error: the board reports %d bytes of %d \n", length, kJpegBytes);
        length = 0;
    }
    *jpeg = buffer;
    *len = length;
    return length;
}
