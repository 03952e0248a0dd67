// NAS service start-up: the "nas_ev" thread and its default libev loop with the guard timer that keeps
// the loop from running out of watchers.
#include "ko_nas.h"

#include "common/utils/ko_log.h"
#include "common/utils/ko_thread.h"

#include <ev.h>

#include <cstring>

namespace {

constexpr const char *kModule = "KO NAS";

ev_timer g_guard;
ko_thread *g_nas_thread = nullptr; // the loop runs for the life of the process

void guard_cb(struct ev_loop *, ev_timer *, int) {}

void *nas_ev_thread(void *)
{
    struct ev_loop *loop = ev_default_loop(0);
    if (!loop) {
        KO_LOGE(kModule, "default event loop cannot be made\n");
        return nullptr;
    }
    ev_timer_init(&g_guard, guard_cb, 1.0, 1.0);
    ev_timer_start(loop, &g_guard);
    ev_run(loop, 0);
    KO_LOGE(kModule, "default event loop ended\n");
    return nullptr;
}

} // namespace

int ko_nas_init(void)
{
    ko_thread_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.detached = 1;
    strncpy(attr.name, "nas_ev", sizeof attr.name - 1);
    g_nas_thread = ko_thread_run(&attr, nas_ev_thread, nullptr);
    if (!g_nas_thread) {
        KO_LOGE(kModule, "nas_ev thread cannot be started\n");
        return -1;
    }
    return 0;
}
