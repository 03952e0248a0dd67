// Command queues on two dispatch queues. Each message is one allocation owned by the queue from the
// moment it is accepted; a refused one is freed by the producer.
#include "zel_control/control/zel_control.h"

#include <new>

#include "zel_control/container/zel_malloc.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_dispatch.h"

namespace {

constexpr const char *TAG = "ZEL_CONTROL";

struct cmd_msg {
    int a;
    int b;
};

} // namespace

struct zel_control {
    int reserved;
    zel_dispatch_t *push_queue;
    zel_dispatch_t *pull_queue;
    zel_control_fn stream_handler;
    zel_control_fn push_handler;
    zel_control_fn pull_handler;
};

namespace {

int handle(void *item, void *user_data, bool push)
{
    auto *msg = static_cast<cmd_msg *>(item);
    if (!msg) {
        ZEL_LOGE(TAG, "[%s:%d] Queue dispatch callback, buffer is empty ...", __func__, __LINE__);
        return -1;
    }
    auto *control = static_cast<zel_control_t *>(user_data);
    const zel_control_fn handler = !control ? nullptr : push ? control->push_handler : control->pull_handler;
    int rc = -1;
    if (!control)
        ZEL_LOGE(TAG, "[%s:%d] Get zel_control struct is null", __func__, __LINE__);
    else if (!handler && push)
        ZEL_LOGE(TAG, "[%s:%d] zel_send_push_callback is null", __func__, __LINE__);
    else if (!handler)
        ZEL_LOGE(TAG, "[%s:%d] zel_send_pull_callback is null", __func__, __LINE__);
    else
        rc = handler(msg->a, msg->b);
    __zel_free(msg);
    return rc;
}

int handle_push(void *item, void *user_data)
{
    return handle(item, user_data, true);
}

int handle_pull(void *item, void *user_data)
{
    return handle(item, user_data, false);
}

int queue_pair(zel_dispatch_t *queue, int a, int b)
{
    auto *msg = static_cast<cmd_msg *>(__zel_malloc0(sizeof(cmd_msg)));
    if (!msg) {
        ZEL_LOGE(TAG, "[%s:%d] Malloc queue msg fail ...", __func__, __LINE__);
        return -1;
    }
    msg->a = a;
    msg->b = b;
    if (dispatch_queue_putq(queue, msg) != 0) {
        __zel_free(msg);
        ZEL_LOGE(TAG, "[%s:%d] Queue dispatch push cmd fail ...", __func__, __LINE__);
        return -1;
    }
    return 0;
}

void stop_queue(zel_dispatch_t *queue)
{
    if (!queue) {
        ZEL_LOGE(TAG, "[%s:%d] push uplaod queue is null", __func__, __LINE__);
        return;
    }
    dispatch_queue_stop(queue);
    dispatch_release(queue);
}

} // namespace

extern "C" {

zel_control_t *zel_control_init(zel_control_fn pull_handler, zel_control_fn push_handler, zel_control_fn stream_handler)
{
    if (!pull_handler || !push_handler || !stream_handler) {
        ZEL_LOGE(TAG, "[%s:%d] Callback is null", __func__, __LINE__);
        return nullptr;
    }
    auto *control = new (std::nothrow) zel_control{0, nullptr, nullptr, stream_handler, push_handler, pull_handler};
    if (!control) {
        ZEL_LOGE(TAG, "[%s:%d] zel_control malloc fail ...", __func__, __LINE__);
        return nullptr;
    }
    control->push_queue = dispatch_create(handle_push, control);
    control->pull_queue = control->push_queue ? dispatch_create(handle_pull, control) : nullptr;
    if (!control->push_queue || !control->pull_queue) {
        ZEL_LOGE(TAG, "[%s:%d] push dispatch queue create fail ...", __func__, __LINE__);
        dispatch_release(control->push_queue);
        delete control;
        return nullptr;
    }
    if (dispatch_queue_start(control->push_queue, ZEL_CONTROL_QUEUE_CAPACITY) != 0 ||
        dispatch_queue_start(control->pull_queue, ZEL_CONTROL_QUEUE_CAPACITY) != 0) {
        ZEL_LOGE(TAG, "[%s:%d] Start dispatch queue fail ...", __func__, __LINE__);
        dispatch_release(control->push_queue);
        dispatch_release(control->pull_queue);
        delete control;
        return nullptr;
    }
    ZEL_LOGI(TAG, "[%s:%d] Init zel_control dispatch success !!!", __func__, __LINE__);
    return control;
}

int zel_cmd_push(zel_control_t *control, int type, int a, int b)
{
    if (!control || !control->push_queue) {
        ZEL_LOGE(TAG, "[%s:%d] zel_control or push upload queue is null, please init ...", __func__, __LINE__);
        return -1;
    }
    if (type == ZEL_CMD_PUSH)
        return queue_pair(control->push_queue, a, b);
    if (type == ZEL_CMD_STREAM) {
        if (b == 0)
            ZEL_LOGE(TAG, "[%s:%d] Stream data is null", __func__, __LINE__);
        else if (!control->stream_handler)
            ZEL_LOGE(TAG, "[%s:%d] Send stream data callback is null", __func__, __LINE__);
        else
            control->stream_handler(a, b);
        return 0;
    }
    ZEL_LOGE(TAG, "[%s:%d] Unkonw push msg type !!!", __func__, __LINE__);
    return 0;
}

int zel_cmd_pull(zel_control_t *control, int type, int a, int b)
{
    if (!control || !control->pull_queue) {
        ZEL_LOGE(TAG, "[%s:%d] zel_control or push upload queue is null, please init ...", __func__, __LINE__);
        return -1;
    }
    if (type != ZEL_CMD_PULL) {
        ZEL_LOGE(TAG, "[%s:%d] Unkonw push msg type !!!", __func__, __LINE__);
        return 0;
    }
    return queue_pair(control->pull_queue, a, b);
}

int zel_control_uninit(zel_control_t *control)
{
    if (!control) {
        ZEL_LOGE(TAG, "[%s:%d] Get zel_control is null", __func__, __LINE__);
        return -1;
    }
    stop_queue(control->push_queue);
    stop_queue(control->pull_queue);
    delete control;
    ZEL_LOGI(TAG, "[%s:%d] zel_control uninit sucess, exit ...", __func__, __LINE__);
    return 0;
}

} // extern "C"
