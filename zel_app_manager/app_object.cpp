// The default operations of an app object and its invoke entry: create requests and destroy reports
// go to the manager through the dispatch hook.
#include "zel_app_object.h"

#include <cstdio>
#include <cstring>

app_event_dispatch_t g_event_dispatch_callback = nullptr;

namespace {

// Hands a report to the manager; before the manager has registered its hook there is nobody to tell.
int dispatch(int cmd, int id, int a, int b)
{
    const app_event_dispatch_t hook = g_event_dispatch_callback;
    if (!hook) {
        printf("[%s:%d] no dispatch hook yet, cmd 0x%x of app_id:%d dropped\n", __func__, __LINE__, cmd, id);
        return -1;
    }
    return hook(cmd, id, a, b, 0);
}

int on_get_id(app_object_t *obj)
{
    return obj ? obj->id : -1;
}

int on_user_event(app_object_t *, int, int, int, int)
{
    printf("[%s:%d]\n", "on_user_event", __LINE__);
    return -1;
}

int on_is_abnormal(app_object_t *obj)
{
    return obj && (obj->status & APP_STATUS_MASK) == APP_STATUS_NORMAL ? 0 : 1;
}

int on_set_status(app_object_t *obj, uint32_t value)
{
    if (!obj)
        return -1;
    obj->status = value & APP_STATUS_MASK;
    return 0;
}

uint32_t on_get_status(app_object_t *obj)
{
    return obj ? obj->status : static_cast<uint32_t>(APP_STATUS_MASK);
}

int on_destroy_default(app_object_t *obj, int, int, int, int)
{
    return obj ? 0 : -1;
}

int on_app_invoke(app_object_t *obj, int cmd, int a, int b, int c)
{
    if (!obj)
        return -1;
    if (cmd < 0)
        return obj->user_event ? obj->user_event(obj, cmd, a, b, c) : -1;
    switch (cmd) {
    case APP_CMD_CREATE:
        printf("[%s:%d] debug create app_id:%d\n", __func__, __LINE__, obj->id);
        dispatch(APP_CMD_CREATE, obj->id, a, b);
        return 0;
    case APP_CMD_HANDLE:
        return obj->handler ? obj->handler(obj, cmd, a, b, c) : -1;
    case APP_CMD_DESTROY: {
        const int id = obj->id; // the hook frees the object
        if (obj->on_destroy(obj, cmd, a, b, c) == 0) {
            printf("[%s:%d] debug destory app_id:%d\n", __func__, __LINE__, id);
            dispatch(APP_CMD_DESTROYED, id, a, b);
        }
        return 0;
    }
    default:
        printf("[%s:%d] debug\n", __func__, __LINE__);
        return -1;
    }
}

int on_destroy_invoke(app_object_t *obj)
{
    return obj ? obj->invoke(obj, APP_CMD_DESTROY, 0, 0, 0) : -1;
}

} // namespace

int app_object_init(app_object_t *obj, int id)
{
    if (!obj || id < 0 || id >= APP_ID_COUNT) {
        printf("app_object_init fail:%d\n", id);
        return -1;
    }
    memset(obj, 0, sizeof *obj);
    obj->id = id;
    obj->status = APP_STATUS_NORMAL;
    obj->get_id = on_get_id;
    obj->invoke = on_app_invoke;
    obj->user_event = on_user_event;
    obj->is_abnormal = on_is_abnormal;
    obj->set_status = on_set_status;
    obj->get_status = on_get_status;
    obj->destroy = on_destroy_invoke;
    obj->on_destroy = on_destroy_default;
    return 0;
}

app_event_dispatch_t *app_object_event_callback(app_event_dispatch_t fn)
{
    g_event_dispatch_callback = fn;
    return &g_event_dispatch_callback;
}
