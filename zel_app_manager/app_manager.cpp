// The app manager: creates the app objects in their fixed order, keeps one pointer per id, handles the
// reports that apps send through the dispatch hook, and re-creates the algorithm app, never while one
// is present and healthy.
#include "zel_app_manager.h"

#include "zel_app_assert.h"
#include "zel_control/log/zel_log.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

app_mgr_t *app_mgr = nullptr;

namespace {

constexpr const char *kTag = "mgr_app";

// Creations and slot changes run on the start-up thread, the manager's agent thread and whatever thread
// destroys app 1; a create function may report its own destruction while it runs, so the lock is
// recursive.
std::recursive_mutex g_apps_lock;

void dump_app_list()
{
    std::string list;
    for (int id = 1; id < APP_ID_COUNT; ++id) {
        if (app_mgr->apps[id]) {
            list += app_config[id].name;
            list += ' ';
        }
    }
    ZEL_LOGI(kTag, "app_list:%s", list.c_str());
}

void *identity(void *arg)
{
    return arg;
}

} // namespace

int is_app_abnormal(int id)
{
    if (id < 1 || id >= APP_ID_COUNT)
        return -1;
    std::lock_guard<std::recursive_mutex> g(g_apps_lock);
    app_object_t *obj = app_mgr ? app_mgr->apps[id] : nullptr;
    return !obj || obj->get_status(obj) != APP_STATUS_NORMAL ? 1 : 0;
}

int create_app_object(int id, int arg)
{
    ZEL_LOGW(kTag, "app_create app_id:%d", id);
    if (id < 1 || id >= APP_ID_COUNT) {
        ZEL_LOGA(kTag, "Invalid parameter");
        ZEL_APP_ABORT();
    }
    const app_create_fn create = app_config[id].create;
    if (!create) {
        ZEL_LOGA(kTag, "app_create function null");
        ZEL_LOGA(kTag, "app %d %s: its create function is not part of this build", id, app_config[id].name);
        ZEL_APP_ABORT();
    }
    std::lock_guard<std::recursive_mutex> g(g_apps_lock);
    app_object_t *obj = create(arg);
    if (obj) {
        app_mgr->apps[id] = obj;
        dump_app_list();
    } else {
        ZEL_LOGW(kTag, "app_create ok, but exit self");
    }
    return 0;
}

int init_deamon_app(void)
{
    ZEL_APP_ASSERT(create_app_object(APP_ID_EV_AGENT,0) == 0);
    ZEL_APP_ASSERT(create_app_object(APP_ID_MEDIA,0) == 0);
    ZEL_APP_ASSERT(create_app_object(APP_ID_STATUS,0) == 0);
    ZEL_APP_ASSERT(create_app_object(APP_ID_CLIENT,0) == 0);
    ZEL_APP_ASSERT(create_app_object(APP_ID_SDCARD,0) == 0);
    return 0;
}

int create_app_normal_status(void)
{
    ZEL_LOGI(kTag, "create_app_normal_status");
    // The check and the creation are one step, so two paths (app 1 ending, "cloud_connected") can never
    // both create the algorithm app.
    std::lock_guard<std::recursive_mutex> g(g_apps_lock);
    if (is_app_abnormal(APP_ID_ALGO) == 0) {
        ZEL_LOGI(kTag, "%s is running and normal, not created again", app_config[APP_ID_ALGO].name);
        return 0;
    }
    // An abnormal one is ended first (its report clears the slot), so its successor never runs beside it.
    if (app_object_t *old = app_mgr->apps[APP_ID_ALGO]) {
        ZEL_LOGW(kTag, "%s is abnormal (status 0x%x), destroying it", app_config[APP_ID_ALGO].name,
                 old->get_status(old));
        old->destroy(old);
        app_mgr->apps[APP_ID_ALGO] = nullptr;
    }
    ZEL_APP_ASSERT(create_app_object(APP_ID_ALGO,0) == 0);
    return 0;
}

int manager_on_user_event(app_object_t *mgr, int, int, int, int)
{
    return mgr ? 0 : -1;
}

int manager_on_invoke(app_object_t *mgr, int cmd, int id, int a, int b)
{
    if (!mgr)
        return -1;
    if (cmd < 0)
        return manager_on_user_event(mgr, cmd, id, a, b);
    switch (cmd) {
    case APP_CMD_CREATE:
        return create_app_object(id, a);
    case APP_CMD_DESTROY:
        return -1;
    case APP_CMD_DESTROYED:
        if (id >= 1 && id < APP_ID_COUNT) {
            ZEL_LOGI(kTag, "app %s destoryed", app_config[id].name);
            {
                std::lock_guard<std::recursive_mutex> g(g_apps_lock);
                app_mgr->apps[id] = nullptr;
            }
            if (id == APP_ID_NETWORK_SETUP)
                create_app_normal_status();
        }
        return 0;
    default:
        return 0;
    }
}

int app_mgr_dispatch(int cmd, int id, int a, int b, int)
{
    manager_on_invoke(&app_mgr->base, cmd, id, a, b);
    return 0;
}

app_mgr_t *app_mgr_init(const char *bind_status)
{
    app_mgr = static_cast<app_mgr_t *>(malloc(sizeof(app_mgr_t)));
    ZEL_APP_ASSERT(app_mgr != NULL);
    memset(app_mgr, 0, sizeof *app_mgr);
    app_mgr->base.invoke = manager_on_invoke;
    app_mgr->base.user_event = manager_on_user_event;
    app_mgr->identity = identity;
    app_mgr->is_app_abnormal = is_app_abnormal;

    app_mgr->config = app_config_init();
    init_deamon_app();
    app_object_event_callback(app_mgr_dispatch);

    if (bind_status && strcmp(bind_status, "1") == 0) {
        create_app_normal_status();
    } else if (bind_status && strcmp(bind_status, "0") == 0) {
        ZEL_APP_ASSERT(create_app_object(APP_ID_NETWORK_SETUP,0) == 0);
    } else {
        ZEL_LOGA(kTag, "invalid parameter");
        ZEL_APP_ABORT();
    }

    try {
        std::thread(start_app_mgr_recv_from_agent_thread, nullptr).detach();
    } catch (const std::system_error &) {
        ZEL_LOGE(kTag, "start_app_mgr_recv_from_agent_thread err!");
        return nullptr;
    }
    return app_mgr;
}
