// The app manager: the app table, the creation of the app objects in their fixed order (by the bind
// status), the dispatch hook that apps report to, the agent-bus module "mgr_app", and the re-creation
// of the algorithm app.
#pragma once

#include "zel_app_object.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef app_object_t *(*app_create_fn)(int arg);

// One row of the app table.
typedef struct app_config {
    int32_t id;
    const char *name;
    app_create_fn create;
} app_config_t;

typedef struct app_mgr {
    app_object_t base; // id 0: invoke = manager_on_invoke, user_event = manager_on_user_event
    app_object_t *apps[APP_ID_COUNT];
    app_config_t *config;
    void *(*identity)(void *arg); // returns its argument; nothing calls it
    int (*is_app_abnormal)(int id);
} app_mgr_t;

// The static app table (names fixed, create functions written by app_config_set_create_funcs).
extern app_config_t app_config_table[APP_ID_COUNT];
// The manager's copy of the table and the manager itself (never freed).
extern app_config_t *app_config;
extern app_mgr_t *app_mgr;

// Written by the main program: the create function of each app id into app_config_table.
void app_config_set_create_funcs(void);

app_mgr_t *app_mgr_init(const char *bind_status);
app_config_t *app_config_init(void);
int create_app_object(int id, int arg);
int init_deamon_app(void);
int create_app_normal_status(void);
int app_mgr_dispatch(int cmd, int id, int a, int b, int extra);
int manager_on_invoke(app_object_t *mgr, int cmd, int id, int a, int b);
int manager_on_user_event(app_object_t *mgr, int cmd, int a, int b, int c);
// -1 for an id outside 1 to 9; 1 when the app is absent or its status is not APP_STATUS_NORMAL.
int is_app_abnormal(int id);

// The agent-bus side ("mgr_app", key 17).
int handle_app_mgr_message(int cmd, const void *value);
int _app_mgr_agent_client_init(void);
void _app_mgr_agent_client_deinit(void);
void *start_app_mgr_recv_from_agent_thread(void *arg);

#ifdef __cplusplus
}
#endif
