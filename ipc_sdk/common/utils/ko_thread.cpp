// The named-thread starter: applies the stack size and detached flag, names the thread before its
// entry runs, and joins it on destruction. Its notes go to the SDK log at debug level.
#include "common/utils/ko_thread.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/report_stat/ko_thread_alive.h"
#include "common/utils/ko_log.h"

namespace {

constexpr const char *kModule = "KO THREAD";

// What the new thread needs, owned by the thread itself: a detached thread's handle may be freed by
// its owner before the thread has even started.
struct ThreadStart {
    ko_thread_entry entry;
    void *arg;
    char name[32];
};

void *thread_wrap(void *p)
{
    auto *start = static_cast<ThreadStart *>(p);
    if (!start) {
        KO_LOGE(kModule, "[%s:%d] invalid thread parm \n", __func__, __LINE__);
        return nullptr;
    }
    const ThreadStart copy = *start;
    std::free(start);
    char name[16];
    std::memcpy(name, copy.name, sizeof(name) - 1);
    name[sizeof(name) - 1] = '\0';
    pthread_setname_np(pthread_self(), name);
    void *result = copy.entry(copy.arg);
    // A thread that forgot to say it is leaving must not be declared dead later, nor hand its
    // record to a new thread that reuses its id.
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return result;
}

} // namespace

ko_thread *ko_thread_run(ko_thread_attr *attr, ko_thread_entry entry, void *arg)
{
    if (!attr || !entry) {
        KO_LOGE(kModule, "[%s:%d]invalid thread parm %p %p\n", __func__, __LINE__, static_cast<void *>(attr),
                reinterpret_cast<void *>(entry));
        return nullptr;
    }
    auto *handle = static_cast<ko_thread *>(std::calloc(1, sizeof(ko_thread)));
    auto *start = static_cast<ThreadStart *>(std::calloc(1, sizeof(ThreadStart)));
    if (!handle || !start) {
        KO_LOGE(kModule, "[%s:%d] malloc error with %s\n", __func__, __LINE__, std::strerror(errno));
        std::free(handle);
        std::free(start);
        return nullptr;
    }
    if (attr->stack_size == 0)
        attr->stack_size = KO_THREAD_DEFAULT_STACK;
    attr->name[sizeof(attr->name) - 1] = '\0';
    handle->entry = entry;
    handle->attr = *attr;
    handle->arg = arg;
    start->entry = entry;
    start->arg = arg;
    std::memcpy(start->name, attr->name, sizeof(start->name));

    pthread_attr_t pattr;
    int rc = pthread_attr_init(&pattr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(&pattr, attr->stack_size);
        if (rc == 0)
            rc = pthread_attr_setdetachstate(&pattr, attr->detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
        if (rc == 0)
            rc = pthread_create(&handle->tid, &pattr, thread_wrap, start);
        pthread_attr_destroy(&pattr);
    }
    if (rc != 0) {
        KO_LOGE(kModule, "[%s:%d] pthread create error with %s\n", __func__, __LINE__, std::strerror(rc));
        std::free(start);
        std::free(handle);
        return nullptr;
    }
    KO_LOGD(kModule, "create thread %s ok ,detch:%s , stack 0x%x\n", attr->name, attr->detached ? "yes" : "no",
            attr->stack_size);
    return handle;
}

int ko_thread_destory(ko_thread *thread)
{
    if (!thread)
        return 0;
    KO_LOGD(kModule, "start to destory thread %s detach %d\n", thread->attr.name, thread->attr.detached);
    if (!thread->attr.detached) {
        const int rc = pthread_join(thread->tid, nullptr);
        if (rc != 0)
            KO_LOGE(kModule, "join thread %s error with %s\n", thread->attr.name, std::strerror(rc));
    }
    KO_LOGD(kModule, "end to destory thread %s\n", thread->attr.name);
    std::free(thread);
    return 0;
}
