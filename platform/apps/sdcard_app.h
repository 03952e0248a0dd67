// The SD-card app (app id 2): the outside SD-card library's app object, serving the card requests of
// the agent bus.
#pragma once

#include "zel_app_object.h"

#ifdef __cplusplus
extern "C" {
#endif

// A new app object for id 2 with its agent module "sdcard_app" running, or NULL.
app_object_t *sdcard_app_create(int arg);

#ifdef __cplusplus
}
#endif
