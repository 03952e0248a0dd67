// The create function of every app id, written into the app table before the manager copies it, and
// the release of the algorithm app and the media layer before an upgrade.
#include "zelmar_main.h"

#include "agent_app.h"
#include "network_setup_app.h"
#include "sdcard_app.h"
#include "zel_app_manager.h"
#include "zel_control/log/zel_log.h"
#include "zelmar_later.h"

void app_config_set_create_funcs(void)
{
    app_config_table[APP_ID_NETWORK_SETUP].create = network_setup_app_create;
    app_config_table[APP_ID_SDCARD].create = sdcard_app_create;
    app_config_table[APP_ID_CLIENT].create = client_app_create;
    app_config_table[APP_ID_EV_AGENT].create = agent_app_create;
    app_config_table[APP_ID_MEDIA].create = media_app_create;
    app_config_table[APP_ID_STATUS].create = status_app_create;
    app_config_table[APP_ID_ALGO].create = algo_app_create;
    app_config_table[APP_ID_CP_LOG].create = cp_log_app_create;
}

void release_resource(void)
{
    if (zel_algo_finish)
        zel_algo_finish();
    else
        ZEL_LOGW("zelmar_app", "zel_algo_finish is not part of this build");
    if (zel_media_deinit)
        zel_media_deinit();
    else
        ZEL_LOGW("zelmar_app", "zel_media_deinit is not part of this build");
}
