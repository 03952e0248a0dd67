// The event-timer list: creation, status, re-arming and deletion of numbered POSIX timers. The list
// has no lock; its owner changes it from one thread at a time.
#include "zel_control/evtimer/zel_evtimer.h"

#include "zel_control/log/zel_log.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *TAG = "ZEL_DB_SRV";

int node_id(const event_timer_node_t *node)
{
    return node->notify.sigev_value.sival_int;
}

// The node before the one with `id`, so that it can be unlinked; null when absent.
event_timer_node_t *find_before(event_timer_node_t *head, int id)
{
    for (event_timer_node_t *prev = head; prev->next; prev = prev->next)
        if (node_id(prev->next) == id)
            return prev;
    return nullptr;
}

void set_period(itimerspec *spec, int seconds, bool periodic)
{
    std::memset(spec, 0, sizeof *spec);
    spec->it_value.tv_sec = seconds;
    if (periodic)
        spec->it_interval.tv_sec = seconds;
}

} // namespace

event_timer_node_t *timer_init(void)
{
    auto *head = static_cast<event_timer_node_t *>(std::calloc(1, sizeof(event_timer_node_t)));
    if (!head) {
        ZEL_LOGE(TAG, "[%s:%d] head node malloc error", __func__, __LINE__);
        return nullptr;
    }
    ZEL_LOGI(TAG, "[%s:%d] Init head node success !!!", __func__, __LINE__);
    return head;
}

int check_timer_status(event_timer_node_t *head, int id)
{
    if (!head) {
        ZEL_LOGE(TAG, "[%s:%d] Param head is null", __func__, __LINE__);
        return -1;
    }
    event_timer_node_t *prev = find_before(head, id);
    if (!prev) {
        ZEL_LOGD(TAG, "[%s:%d] Can not find this event timer, timer id [%d]", __func__, __LINE__, id);
        return -1;
    }
    itimerspec left {};
    if (timer_gettime(prev->next->timer, &left) != 0) {
        ZEL_LOGE(TAG, "[%s:%d] Get timer info error", __func__, __LINE__);
        return -1;
    }
    ZEL_LOGD(TAG, "[%s:%d] Get timer info: surplus time [%lu], time interval [%lu]", __func__, __LINE__,
             static_cast<unsigned long>(left.it_value.tv_sec), static_cast<unsigned long>(left.it_interval.tv_sec));
    const bool armed = left.it_value.tv_sec || left.it_value.tv_nsec || left.it_interval.tv_sec ||
                       left.it_interval.tv_nsec;
    if (!armed) {
        ZEL_LOGI(TAG, "[%s:%d] Current timer is invalid, please delete it.", __func__, __LINE__);
        return -2;
    }
    return 0;
}

int create_event_timer(event_timer_node_t *head, int id, int mode, int seconds, event_timer_cb callback)
{
    if (!head) {
        ZEL_LOGE(TAG, "[%s:%d] Param head is null", __func__, __LINE__);
        return -1;
    }
    if (!callback || seconds <= 0) {
        ZEL_LOGE(TAG, "[%s:%d] Create event timer error, bad callback or period %d", __func__, __LINE__, seconds);
        return -1;
    }
    if (check_timer_status(head, id) != -1) {
        ZEL_LOGE(TAG, "[%s:%d] Can not create this timer, timer is exist", __func__, __LINE__);
        return -1;
    }
    auto *node = static_cast<event_timer_node_t *>(std::calloc(1, sizeof(event_timer_node_t)));
    if (!node) {
        ZEL_LOGE(TAG, "[%s:%d] Malloc node error", __func__, __LINE__);
        return -1;
    }
    node->notify.sigev_notify = SIGEV_THREAD;
    node->notify.sigev_value.sival_int = id;
    node->notify.sigev_notify_function = callback;
    // Monotonic: a wall-clock step (NTP, the phone setting the time) must not move the save.
    if (timer_create(CLOCK_MONOTONIC, &node->notify, &node->timer) != 0) {
        ZEL_LOGE(TAG, "[%s:%d] Timer create func error", __func__, __LINE__);
        ZEL_LOGE(TAG, "[%s:%d] Create event timer error, release this node", __func__, __LINE__);
        std::free(node);
        return -1;
    }
    set_period(&node->spec, seconds, mode == EVENT_TIMER_PERIODIC);
    if (timer_settime(node->timer, 0, &node->spec, nullptr) != 0) {
        ZEL_LOGE(TAG, "[%s:%d] Timer set error.", __func__, __LINE__);
        timer_delete(node->timer);
        ZEL_LOGE(TAG, "[%s:%d] Create event timer error, release this node", __func__, __LINE__);
        std::free(node);
        return -1;
    }
    node->next = head->next;
    head->next = node;
    ZEL_LOGI(TAG, "[%s:%d] Create timer id [%d] success, timer sec [%d] !!!", __func__, __LINE__, id, seconds);
    return 0;
}

int refresh_event_timer(event_timer_node_t *head, int id, int seconds)
{
    if (!head) {
        ZEL_LOGE(TAG, "[%s:%d] Param head is null", __func__, __LINE__);
        return -1;
    }
    event_timer_node_t *prev = find_before(head, id);
    if (!prev || seconds <= 0) {
        ZEL_LOGE(TAG, "[%s:%d] Can not refresh this event timer, timer id [%d]", __func__, __LINE__, id);
        return -1;
    }
    event_timer_node_t *node = prev->next;
    set_period(&node->spec, seconds, true);
    if (timer_settime(node->timer, 0, &node->spec, nullptr) != 0) {
        ZEL_LOGE(TAG, "[%s:%d] Timer set error, refresh fail ...", __func__, __LINE__);
        return -1;
    }
    return 0;
}

int delete_designation_timer(event_timer_node_t *head, int id)
{
    if (!head) {
        ZEL_LOGE(TAG, "[%s:%d] Param head is null", __func__, __LINE__);
        return -1;
    }
    event_timer_node_t *prev = find_before(head, id);
    if (!prev) {
        ZEL_LOGE(TAG, "[%s:%d] Can not find this event timer, timer id [%d]", __func__, __LINE__, id);
        return -1;
    }
    event_timer_node_t *node = prev->next;
    if (timer_delete(node->timer) != 0)
        ZEL_LOGE(TAG, "[%s:%d] delete timer fail , timer id [%d]...", __func__, __LINE__, id);
    prev->next = node->next;
    std::free(node);
    ZEL_LOGI(TAG, "[%s:%d] Free timer id [%d] node success !!!", __func__, __LINE__, id);
    return 0;
}

int delete_all_timer(event_timer_node_t *head)
{
    if (!head) {
        ZEL_LOGE(TAG, "[%s:%d] Param head is null", __func__, __LINE__);
        return -1;
    }
    while (event_timer_node_t *node = head->next) {
        const int id = node_id(node);
        if (timer_delete(node->timer) != 0)
            ZEL_LOGE(TAG, "[%s:%d] delete timer fail , timer id [%d]...", __func__, __LINE__, id);
        head->next = node->next;
        std::free(node);
        ZEL_LOGD(TAG, "[%s:%d] Free timer id [%d] node success !!!", __func__, __LINE__, id);
    }
    ZEL_LOGI(TAG, "[%s:%d] Release all timer success !", __func__, __LINE__);
    return 0;
}
