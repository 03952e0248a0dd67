// Frame queues, merged delivery, key-frame seeks and pull mode.
#include "zel_stream_dispatch.h"

#include <time.h>

#include "zel_control/log/zel_log.h"

namespace zel_stream_internal {

namespace {

const char *const kTag = "model_zel_formal_stream";

size_t limit_of(int stream) { return stream == ZEL_STREAM_AUDIO ? ZEL_STREAM_AUDIO_QUEUE : ZEL_STREAM_VIDEO_QUEUE; }

} // namespace

Dispatcher::Dispatcher(zel_stream_frame_cb callback, void *user, bool pull)
    : callback_(callback), user_(user), pull_(pull)
{
}

Dispatcher::~Dispatcher()
{
    stop();
    clear();
}

int Dispatcher::start()
{
    if (pull_)
        return 0;
    sem_ = semaphore_init(0);
    if (!sem_) {
        ZEL_LOGE(kTag, "Init semaphore error.");
        return -1;
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        ZEL_LOGE(kTag, "Create dispatch queue thread error");
        return -1;
    }
    return 0;
}

void Dispatcher::stop()
{
    if (thread_.joinable()) {
        stop_ = true;
        semaphore_post(sem_);
        thread_.join();
    }
    semaphore_destory(sem_);
    sem_ = nullptr;
}

void Dispatcher::drop_queue(int stream)
{
    for (shbf_frame_t *f : q_[stream])
        shbf_free(f);
    q_[stream].clear();
}

void Dispatcher::set_participants(bool main, bool sub, bool audio)
{
    std::unique_lock<std::shared_mutex> w(rw_);
    std::lock_guard<std::mutex> g(m_);
    bool now[3] = {main, sub, audio};
    for (int s = 0; s < 3; s++) {
        if (takes_part_[s] && !now[s])
            drop_queue(s);
        takes_part_[s] = now[s];
    }
    if (sem_)
        semaphore_post(sem_); // a queue that held the others back may have left
}

int Dispatcher::push(int stream, shbf_frame_t *frame)
{
    {
        std::lock_guard<std::mutex> g(m_);
        if (!takes_part_[stream] || q_[stream].size() >= limit_of(stream)) {
            if (stream == ZEL_STREAM_AUDIO)
                ZEL_LOGW(kTag, " push audio data to queue fail (fq->count:%u)", static_cast<unsigned>(q_[stream].size()));
            else
                ZEL_LOGW(kTag, " push video data to queue fail (fq->count:%u),stream_type:%d",
                         static_cast<unsigned>(q_[stream].size()), stream);
            shbf_free(frame);
            return -1;
        }
        q_[stream].push_back(frame);
    }
    if (sem_)
        semaphore_post(sem_);
    return 0;
}

void Dispatcher::clear()
{
    std::unique_lock<std::shared_mutex> w(rw_);
    std::lock_guard<std::mutex> g(m_);
    for (int s = 0; s < 3; s++)
        drop_queue(s);
    aligned_[0] = aligned_[1] = false;
}

// Delivers the earliest head when every queue taking part has one.
bool Dispatcher::deliver_one()
{
    shbf_frame_t *frame = nullptr;
    int stream = -1;
    {
        std::lock_guard<std::mutex> g(m_);
        int video = -1;
        for (int s = ZEL_STREAM_MAIN; s <= ZEL_STREAM_SUB; s++) {
            if (!takes_part_[s])
                continue;
            if (q_[s].empty())
                return false;
            if (video < 0 || q_[s].front()->timestamp < q_[video].front()->timestamp)
                video = s;
        }
        bool audio = takes_part_[ZEL_STREAM_AUDIO];
        if (audio && q_[ZEL_STREAM_AUDIO].empty())
            return false;
        if (video < 0 && !audio)
            return false;
        if (video >= 0 && (!audio || q_[video].front()->timestamp < q_[ZEL_STREAM_AUDIO].front()->timestamp))
            stream = video;
        else
            stream = ZEL_STREAM_AUDIO;
        frame = q_[stream].front();
        q_[stream].pop_front();
    }
    if (callback_ && !stop_)
        callback_(frame, stream == ZEL_STREAM_AUDIO, stream, user_);
    shbf_free(frame);
    return true;
}

void Dispatcher::run()
{
    while (semaphore_wait(sem_, -1) == 0 && !stop_) {
        std::unique_lock<std::shared_mutex> w(rw_);
        while (!stop_ && deliver_one()) {
        }
    }
}

int64_t Dispatcher::now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Dispatcher::seek_key(int stream)
{
    if (stream != ZEL_STREAM_MAIN && stream != ZEL_STREAM_SUB)
        return -1;
    std::unique_lock<std::shared_mutex> w(rw_);
    std::lock_guard<std::mutex> g(m_);
    auto &q = q_[stream];
    while (!q.empty() && !q.front()->key) {
        shbf_free(q.front());
        q.pop_front();
    }
    uint64_t mark = q.empty() ? static_cast<uint64_t>(now_ms()) : q.front()->timestamp;
    auto &a = q_[ZEL_STREAM_AUDIO];
    while (!a.empty() && a.front()->timestamp <= mark) {
        shbf_free(a.front());
        a.pop_front();
    }
    ZEL_LOGI(kTag, " Zel stream seek I frame success.");
    return 0;
}

shbf_frame_t *Dispatcher::pull(int stream, int kind)
{
    const bool video = stream == ZEL_STREAM_MAIN || stream == ZEL_STREAM_SUB;
    const bool known = kind == 0 ? video : kind == 1 && (video || stream == ZEL_STREAM_AUDIO);
    if (!known) {
        ZEL_LOGW(kTag, " request frame of stream %d kind %d refused", stream, kind);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(m_);
    // Audio asked for by its own index has no video stream to start with.
    if (video && !aligned_[stream]) {
        auto &q = q_[stream];
        while (!q.empty() && !q.front()->key) {
            shbf_free(q.front());
            q.pop_front();
        }
        if (q.empty())
            return nullptr;
        auto &a = q_[ZEL_STREAM_AUDIO];
        while (!a.empty() && a.front()->timestamp < q.front()->timestamp) {
            shbf_free(a.front());
            a.pop_front();
        }
        aligned_[stream] = true;
    }
    auto &q = q_[kind == 0 ? stream : ZEL_STREAM_AUDIO];
    if (q.empty())
        return nullptr;
    shbf_frame_t *f = q.front();
    q.pop_front();
    return f;
}

} // namespace zel_stream_internal
