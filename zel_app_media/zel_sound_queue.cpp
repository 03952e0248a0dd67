// The speaker queue and its playing thread. The thread waits for "count > 0", so an item appended at
// any moment is played without waiting for the next one; it times the 5-s switch-off itself (a timed
// wait on the queue), so the speaker can never be switched off under a batch that has begun. It holds
// the queue lock only to take an item, never while the board plays.
#include "zel_sound_play.h"
#include "zel_media_state.h"
#include "zel_sound_prompt.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

using media::kTag;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSwitchOffAfter = std::chrono::seconds(5);
constexpr int kMaxChunkEx = 1280;

struct Queue {
    std::mutex lock;
    std::condition_variable changed;
    sound_item_t *slots[SOUND_QUEUE_SLOTS] = {};
    int write = 0;
    int read = 0;
    int count = 0;
    bool inited = false;
    bool thread_started = false;
    bool speaker_on = false; // enable_audio_flag
    Clock::time_point switch_off_at;
};

Queue &queue()
{
    static Queue *q = new Queue; // the playing thread lives for the process
    return *q;
}

void free_item(sound_item_t *item)
{
    if (item) {
        free(item->data);
        free(item);
    }
}

// The queue lock is held.
sound_item_t *take_locked(Queue &q)
{
    if (q.count == 0)
        return nullptr;
    sound_item_t *item = q.slots[q.read];
    q.slots[q.read] = nullptr;
    q.read = (q.read + 1) % SOUND_QUEUE_SLOTS;
    --q.count;
    return item;
}

// The queue lock is held.
void clear_locked(Queue &q)
{
    for (int n = 0; n < SOUND_QUEUE_SLOTS && q.count > 0; ++n)
        free_item(take_locked(q));
}

// Runs board calls without the queue lock; false when the board is being closed.
template <typename F> bool unlocked_board(std::unique_lock<std::mutex> &l, F fn)
{
    l.unlock();
    bool entered;
    {
        media::BoardCall call;
        entered = call.entered();
        if (entered)
            fn();
    }
    l.lock();
    return entered;
}

void switch_on(Queue &q, std::unique_lock<std::mutex> &l)
{
    unlocked_board(l, [] {
        enable_speaker();
        enable_aec();
        ZEL_LOGI(kTag, "###enable_aec###\n");
    });
    q.speaker_on = true;
}

void switch_off(Queue &q, std::unique_lock<std::mutex> &l)
{
    unlocked_board(l, [] {
        ZEL_LOGI(kTag, "###disable_aec###\n");
        disable_aec();
        disable_speaker();
    });
    q.speaker_on = false;
}

void play(sound_item_t *item)
{
    media::BoardCall call;
    if (!call.entered())
        return;
    if (item->len <= kMaxChunkEx)
        play_sound_ex(item->data, item->len);
    else
        play_sound(item->data, item->len);
}

} // namespace

bool sound::queue_open()
{
    Queue &q = queue();
    std::lock_guard<std::mutex> l(q.lock);
    return q.inited;
}

void *play_audio_thread(void *)
{
    pthread_setname_np(pthread_self(), "play_audio");
    Queue &q = queue();
    std::unique_lock<std::mutex> l(q.lock);
    while (gs_zelmar_app_running) {
        const auto ready = [&] { return (q.inited && q.count > 0) || (!q.inited && q.speaker_on); };
        if (q.speaker_on) {
            if (!q.changed.wait_until(l, q.switch_off_at, ready)) {
                switch_off(q, l);
                continue;
            }
        } else {
            q.changed.wait(l, ready);
        }
        if (!q.inited) { // stopped: nothing more plays
            switch_off(q, l);
            continue;
        }
        if (!q.speaker_on)
            switch_on(q, l);
        while (q.inited) {
            sound_item_t *item = take_locked(q);
            if (!item)
                break;
            l.unlock();
            play(item);
            free_item(item);
            l.lock();
        }
        q.switch_off_at = Clock::now() + kSwitchOffAfter;
    }
    return nullptr;
}

int zel_sound_play_init(void)
{
    sound::read_language();
    Queue &q = queue();
    std::lock_guard<std::mutex> l(q.lock);
    if (!q.thread_started) {
        try {
            std::thread([] { play_audio_thread(nullptr); }).detach();
        } catch (const std::system_error &) {
            ZEL_LOGE(kTag, "Create get_audio_stream error\n");
            return -1;
        }
        q.thread_started = true;
    }
    q.inited = true;
    return 0;
}

void zel_sound_play_deinit(void)
{
    Queue &q = queue();
    std::unique_lock<std::mutex> l(q.lock);
    if (!q.inited) {
        ZEL_LOGE(kTag, "sound play app don't init ,pls check\n");
        return;
    }
    ZEL_LOGI(kTag, "zel_sound_play_deinit enter\n");
    q.inited = false;
    clear_locked(q);
    q.changed.notify_all();
    ZEL_LOGI(kTag, "zel_sound_play_deinit exit\n");
}

int zel_api_play_audio_data(const void *data, int len)
{
    if (!data || len < 1) {
        ZEL_LOGE(kTag, "%s(): no audio to play (%d bytes)\n", __func__, len);
        return -1;
    }
    if (!sound::queue_open()) {
        ZEL_LOGE(kTag, "sound app don't init ");
        return -1;
    }
    auto *item = static_cast<sound_item_t *>(malloc(sizeof(sound_item_t)));
    auto *bytes = static_cast<uint8_t *>(malloc(static_cast<size_t>(len)));
    if (!item || !bytes) {
        free(item);
        free(bytes);
        ZEL_LOGE(kTag, "%s(), %d: malloc error\n", __func__, __LINE__);
        return -1;
    }
    memcpy(bytes, data, static_cast<size_t>(len));
    item->data = bytes;
    item->len = len;
    return message_queue_append(item);
}

int message_queue_append(sound_item_t *item)
{
    if (!item) {
        ZEL_LOGE(kTag, "%s(): no item\n", __func__);
        return -1;
    }
    Queue &q = queue();
    int result = 0;
    {
        std::lock_guard<std::mutex> l(q.lock);
        if (!q.inited) {
            ZEL_LOGE(kTag, "sound app don't init ");
            free_item(item);
            return -1;
        }
        if (q.count >= SOUND_QUEUE_SLOTS) {
            ZEL_LOGW(kTag, "%s(),queue is full, clear it\n", "message_queue_append");
            clear_locked(q);
            free_item(item);
            result = -1;
        } else {
            q.slots[q.write] = item;
            q.write = (q.write + 1) % SOUND_QUEUE_SLOTS;
            ++q.count;
        }
    }
    q.changed.notify_all();
    return result;
}

void message_queue_clear(int)
{
    Queue &q = queue();
    std::lock_guard<std::mutex> l(q.lock);
    clear_locked(q);
}

void stop_play_audio_thread(void)
{
    Queue &q = queue();
    std::lock_guard<std::mutex> l(q.lock);
    q.changed.notify_all();
}
