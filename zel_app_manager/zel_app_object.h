// App objects: the unit of the camera application (one per app id 0 to 9), their default operations,
// the invoke codes, and the one process-wide dispatch hook through which apps tell the manager what
// they did. Also used by the app-client library.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    APP_ID_MANAGER = 0,
    APP_ID_NETWORK_SETUP = 1,
    APP_ID_SDCARD = 2,
    APP_ID_RECORD = 3,
    APP_ID_CLIENT = 4,
    APP_ID_EV_AGENT = 5,
    APP_ID_MEDIA = 6,
    APP_ID_STATUS = 7,
    APP_ID_ALGO = 8,
    APP_ID_CP_LOG = 9,
    APP_ID_COUNT = 10,
};

enum {
    APP_CMD_CREATE = 0x200,
    APP_CMD_HANDLE = 0x300,
    APP_CMD_DESTROY = 0x400,
    APP_CMD_DESTROYED = 0x500,
};

enum { APP_STATUS_NORMAL = 0x10000, APP_STATUS_MASK = 0xf0000 };

typedef struct app_object app_object_t;
typedef int (*app_op_t)(app_object_t *obj, int cmd, int a, int b, int c);

struct app_object {
    int32_t id;       // 0 to 9
    int32_t reserved; // left zero
    uint32_t status;  // APP_STATUS_NORMAL when healthy; only bits of APP_STATUS_MASK are stored
    int (*get_id)(app_object_t *obj);
    app_op_t invoke;
    app_op_t user_event; // negative commands
    int (*is_abnormal)(app_object_t *obj);
    int (*set_status)(app_object_t *obj, uint32_t value);
    uint32_t (*get_status)(app_object_t *obj);
    app_op_t handler; // command 0x300; no app sets it
    int (*destroy)(app_object_t *obj);
    app_op_t on_destroy; // frees the object and clears its module's pointer; 0 = destroyed
};

#ifdef __cplusplus
static_assert(sizeof(void *) != 4 || sizeof(app_object_t) == 48, "app_object_t is 48 bytes on the 32-bit target");
#endif

// The dispatch hook: (cmd, app id, a, b, extra).
typedef int (*app_event_dispatch_t)(int cmd, int id, int a, int b, int extra);
extern app_event_dispatch_t g_event_dispatch_callback;

// Zero-fills `obj`, sets the id, APP_STATUS_NORMAL and the default operations: 0, or -1 for a null
// object or an id outside 0 to 9 ("app_object_init fail:%d\n" on stdout).
int app_object_init(app_object_t *obj, int id);
// Stores `fn` as the dispatch hook and returns the hook's address.
app_event_dispatch_t *app_object_event_callback(app_event_dispatch_t fn);

#ifdef __cplusplus
}
#endif
