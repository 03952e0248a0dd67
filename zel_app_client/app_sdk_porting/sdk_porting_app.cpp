// App 4, the client app: its creation starts the porting adapter and with it the whole business layer.
#include "app_sdk_porting/sdk_porting.h"

#include <cstdlib>

#include "zel_app_assert.h"
#include "zel_control/log/zel_log.h"

namespace {
constexpr const char *TAG = "client_app";
}

app_object_t *g_client_mgr = nullptr;

int client_destory(app_object_t *obj, int, int, int, int)
{
    ZEL_APP_ASSERT(g_client_mgr != NULL);
    ZEL_APP_ASSERT(obj != NULL);
    ZEL_LOGI(TAG, "destory");
    sdk_porting_sdk_deinit();
    free(obj);
    g_client_mgr = nullptr;
    return 0;
}

int client_user_event(app_object_t *obj, int, int, int, int)
{
    ZEL_LOGI(TAG, "destory");
    ZEL_APP_ASSERT(obj != NULL);
    return 0;
}

app_object_t *client_app_create(int)
{
    g_client_mgr = static_cast<app_object_t *>(calloc(1, sizeof(app_object_t)));
    ZEL_APP_ASSERT(g_client_mgr != NULL);
    ZEL_LOGA(TAG, "app_object_init %d", APP_ID_CLIENT);
    if (app_object_init(g_client_mgr, APP_ID_CLIENT) != 0) {
        free(g_client_mgr);
        g_client_mgr = nullptr;
        ZEL_LOGA(TAG, "app_object_init fail");
        ZEL_APP_ABORT();
    }
    g_client_mgr->on_destroy = client_destory;
    g_client_mgr->user_event = client_user_event;
    sdk_porting_init();
    return g_client_mgr;
}
