// Start and stop of the engine, its queue of ten records and the worker "zel_rpc" that serves them.
// Everything the worker uses exists before it starts; stop wakes and joins it before anything is
// freed, so that init can run again.
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/container/zel_api_ringbuffer.h"
#include "zel_control/log/zel_log.h"

namespace zel_rpc {

namespace {

constexpr uint32_t kRingSize = kQueueRecords * sizeof(Msg);
// How long a request waits for the worker to make room in a full queue. A burst from the daemon is
// served at the worker's pace; a worker that does not take a record within this time is stalled,
// and requests are answered busy at once until it takes one again.
constexpr std::chrono::milliseconds kRoomWait{100};

struct Queue {
    std::mutex lifecycle;  // init and deinit
    std::mutex ring_mutex; // the ring, `accepting`, `stalled` and the semaphore's life
    std::condition_variable room; // the worker took a record, or the engine stops
    bool accepting = false;
    bool stalled = false; // the last wait for room ran out
    bool started = false;
    sem_t sem{};
    zel_api_ringbuffer_t ring{};
    std::unique_ptr<uint8_t[]> memory;
    pthread_t worker{};
    std::atomic<bool> stop{false};
};

// Kept for the life of the process: the process ends without stopping the engine (exit, a signal),
// and the worker must not find its queue destroyed under it.
Queue &queue()
{
    static Queue *q = new Queue;
    return *q;
}

void *worker_main(void *)
{
    pthread_setname_np(pthread_self(), "zel_rpc");
    Queue &q = queue();
    auto msg = std::make_unique<Msg>();
    for (;;) {
        std::memset(msg.get(), 0, sizeof *msg);
        while (sem_wait(&q.sem) != 0 && errno == EINTR) {
        }
        if (q.stop.load())
            return nullptr;
        uint32_t got;
        {
            std::lock_guard<std::mutex> lock(q.ring_mutex);
            got = zel_api_ringbuffer_get(&q.ring, msg.get(), sizeof *msg);
            q.stalled = false;
        }
        q.room.notify_one();
        if (got < sizeof *msg) {
            ZEL_LOGE(TAG, " zel_api_ringbuffer_get wrong data! reallen = %u, buflen = %zu \n", got, sizeof *msg);
            continue;
        }
        dispatch(*msg);
    }
}

bool ring_init(Queue &q)
{
    ZEL_LOGI(TAG, "ringbuffer size : %u \n", kRingSize);
    q.memory.reset(new (std::nothrow) uint8_t[kRingSize]);
    if (!q.memory) {
        ZEL_LOGE(TAG, " malloc error! \n");
        return false;
    }
    std::memset(&q.ring, 0, sizeof q.ring);
    zel_api_ringbuffer_init(&q.ring, q.memory.get(), kRingSize);
    return true;
}

void destroy_sem(Queue &q)
{
    if (sem_destroy(&q.sem) != 0)
        ZEL_LOGE(TAG, " sem_destroy error! \n");
}

} // namespace

bool queue_put(const Msg &msg)
{
    Queue &q = queue();
    auto oldest = std::make_unique<Msg>();
    bool pushed_out = false;
    {
        std::unique_lock<std::mutex> lock(q.ring_mutex);
        const auto has_room = [&] { return zel_api_ringbuffer_space_len(&q.ring) >= sizeof msg; };
        if (q.accepting && !has_room() && !q.stalled &&
            !q.room.wait_for(lock, kRoomWait, [&] { return !q.accepting || has_room(); }))
            q.stalled = true;
        if (!q.accepting) {
            ZEL_LOGE(TAG, "engine not running, request id %d dropped\n", msg.id);
            return false;
        }
        if (!has_room()) {
            // The oldest request makes room. Its count leaves the semaphore too: with a full ring the
            // worker has taken at most one count ahead, so one is always there to take.
            zel_api_ringbuffer_get(&q.ring, oldest.get(), sizeof *oldest);
            sem_trywait(&q.sem);
            pushed_out = true;
        }
        zel_api_ringbuffer_put_force(&q.ring, &msg, sizeof msg);
        sem_post(&q.sem);
    }
    if (pushed_out)
        refuse_busy(*oldest);
    return true;
}

// A request pushed out of the queue is answered, so that the daemon learns to ask again instead of
// waiting for a reply that never comes. Sent outside the ring's lock: the link may take its time.
void refuse_busy(const Msg &msg)
{
    if (msg.type == kPulled) {
        ZEL_LOGE(TAG, "queue full, pulled values of request id %d dropped\n", msg.id);
        return;
    }
    ZEL_LOGE(TAG, "queue full, request id %d type %d answered busy\n", msg.id, msg.type);
    std::string reply;
    if (format(reply, kTextMax, "{\"id\":%d,\"error\":{\"code\":%d,\"message\":\"%s\"}}", msg.id, kBusyCode,
               kBusyMessage))
        send_text(reply);
}

} // namespace zel_rpc

using namespace zel_rpc;

int zel_rpc_ready(void)
{
    Queue &q = queue();
    std::lock_guard<std::mutex> lock(q.ring_mutex);
    return q.accepting ? 1 : 0;
}

int zel_rpc_init(void)
{
    Queue &q = queue();
    std::lock_guard<std::mutex> life(q.lifecycle);
    ZEL_LOGI(TAG, " zel_rpc start \n");
    if (q.started) {
        ZEL_LOGE(TAG, "zel_rpc already started\n");
        return -1;
    }
    if (sem_init(&q.sem, 0, 0) != 0) {
        ZEL_LOGE(TAG, " ko_rpc_init fail! \n");
        return -1;
    }
    if (!ring_init(q)) {
        ZEL_LOGE(TAG, " zel_rpc_ringbuffer_init fail! \n");
        destroy_sem(q);
        return -1;
    }
    acquire_did();
    q.stop.store(false);
    if (pthread_create(&q.worker, nullptr, worker_main, nullptr) != 0) {
        ZEL_LOGE(TAG, "Create pthread_rpc_proc fail.\n");
        destroy_sem(q);
        q.memory.reset();
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(q.ring_mutex);
        q.accepting = true;
    }
    q.started = true;
    sync_start();
    return 0;
}

int zel_rpc_deinit(void)
{
    Queue &q = queue();
    std::lock_guard<std::mutex> life(q.lifecycle);
    if (!q.started)
        return 0;
    sync_stop();
    {
        std::lock_guard<std::mutex> lock(q.ring_mutex);
        q.accepting = false;
        q.stalled = false;
    }
    q.room.notify_all();
    q.stop.store(true);
    sem_post(&q.sem);
    pthread_join(q.worker, nullptr);
    destroy_sem(q);
    q.memory.reset();
    std::memset(&q.ring, 0, sizeof q.ring);
    q.started = false;
    return 0;
}
