// The start-up order of the main program: memory policy, logging, settings, peripherals, pan-tilt
// start position, agent server, app manager by the bind status, NAS service.
#include "zelmar_main.h"
#include "zelmar_signal.h"

#include "app/nas/ko_nas.h"
#include "agent_server.h"
#include "zel_app_assert.h"
#include "zel_app_manager.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_system.h"
#include "zel_db/zel_db.h"
#include "zel_peripheral.h"
#include "zelmar/zel_path.h"
#include "zelmar_later.h"

#include <cstring>

int gs_zelmar_app_running = 1;

namespace {
constexpr const char *kTag = "zelmar_app";
}

// The steps run as the body of main, so the assertion line names "main".
void zelmar_app_start(void)
{
    int ret = zelmar_signal_init();
    ZEL_APP_ASSERT_IN("main", ret == 0);
    ret = zel_api_change_oom_score("0");
    ZEL_APP_ASSERT_IN("main", ret == 0);
    ret = zel_api_change_drop_caches("3");
    ZEL_APP_ASSERT_IN("main", ret == 0);
    ret = zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str());
    ZEL_APP_ASSERT_IN("main", ret == 0);

    ZEL_LOGI(kTag, "init api db init");
    ret = zel_api_db_init();
    ZEL_APP_ASSERT_IN("main", ret == 0);

    ZEL_LOGI(kTag, "init api peripheral init");
    ret = zel_api_peripheral_init();
    ZEL_APP_ASSERT_IN("main", ret == 0);

    if (zel_motor_init)
        zel_motor_init();
    else
        ZEL_LOGW(kTag, "zel_motor_init is not part of this build: the pan-tilt head stays where it is");

    ZEL_LOGI(kTag, "init evt_agent init");
    ret = agent_server_init();
    ZEL_APP_ASSERT_IN("main", ret == 0);

    char bind_status[8];
    memset(bind_status, 0, sizeof bind_status);
    zel_api_db_get_value("NVM.IPC:bind_status", bind_status, sizeof bind_status);
    ZEL_LOGI(kTag, "bind_status:%s", bind_status);
    ZEL_APP_ASSERT_IN("main", strlen(bind_status) != 0);

    app_mgr_init(bind_status);

    ZEL_LOGI(kTag, "ko_nas_init start \n");
    ko_nas_init();
}
