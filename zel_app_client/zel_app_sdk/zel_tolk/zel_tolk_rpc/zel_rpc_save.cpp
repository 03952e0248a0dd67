// The saves of settings that the handlers write with persist. A save writes and flushes whole store
// files under the store's lock, which takes far longer than serving a request: a thread of its own
// saves one second after the first unsaved write, so a burst of sets costs one save and the worker
// seldom waits on the disk. A write is on the card at most a second (and a save) after it was taken.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace zel_rpc {

namespace {

constexpr std::chrono::seconds kSaveDelay{1};

struct Saver {
    std::mutex mutex;
    std::condition_variable cond;
    bool pending = false;
    bool started = false;
};

// Kept for the life of the process: the thread may still be saving when the process exits.
Saver &g_saver = *new Saver;

void saver_main()
{
    pthread_setname_np(pthread_self(), "zel_rpc_save");
    std::unique_lock<std::mutex> lock(g_saver.mutex);
    for (;;) {
        g_saver.cond.wait(lock, [] { return g_saver.pending; });
        // Later writes join this save; nothing wakes the wait early.
        g_saver.cond.wait_for(lock, kSaveDelay, [] { return false; });
        g_saver.pending = false;
        lock.unlock();
        if (zel_api_db_sync() != 0)
            ZEL_LOGW(TAG, " settings held but not saved yet\n");
        lock.lock();
    }
}

} // namespace

void save_soon()
{
    std::lock_guard<std::mutex> lock(g_saver.mutex);
    g_saver.pending = true;
    if (!g_saver.started) {
        try {
            std::thread(saver_main).detach();
            g_saver.started = true;
        } catch (const std::system_error &) {
            g_saver.pending = false;
            ZEL_LOGE(TAG, " no save thread, saving now\n");
            zel_api_db_sync();
            return;
        }
    }
    g_saver.cond.notify_all();
}

} // namespace zel_rpc
