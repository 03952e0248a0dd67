// The app table: ids and names fixed here, create functions filled in by the main program, and the
// manager's logged copy of it.
#include "zel_app_manager.h"

#include "zel_app_assert.h"

#include "zel_control/log/zel_log.h"

#include <cstdlib>
#include <cstring>

app_config_t app_config_table[APP_ID_COUNT] = {
    {APP_ID_MANAGER, "<app_manager>", nullptr}, {APP_ID_NETWORK_SETUP, "<app_network_setup>", nullptr},
    {APP_ID_SDCARD, "<app_sdcard>", nullptr},   {APP_ID_RECORD, "<app_record>", nullptr},
    {APP_ID_CLIENT, "<app_client>", nullptr},   {APP_ID_EV_AGENT, "<app_agent>", nullptr},
    {APP_ID_MEDIA, "<app_media>", nullptr},     {APP_ID_STATUS, "<app_status>", nullptr},
    {APP_ID_ALGO, "<app_algo>", nullptr},       {APP_ID_CP_LOG, "<app_cp_log>", nullptr},
};

app_config_t *app_config = nullptr;

app_config_t *app_config_init(void)
{
    app_config = static_cast<app_config_t *>(calloc(APP_ID_COUNT, sizeof(app_config_t)));
    ZEL_APP_ASSERT(app_config != NULL);
    app_config_set_create_funcs();
    memcpy(app_config, app_config_table, sizeof app_config_table);
    for (int i = 0; i < APP_ID_COUNT; ++i) {
        ZEL_LOGI("config_app", "app_id :%d\n", app_config[i].id);
        ZEL_LOGI("config_app", "name : %s\n", app_config[i].name);
        ZEL_LOGI("config_app", "func : %p\n", reinterpret_cast<void *>(app_config[i].create));
    }
    return app_config;
}
