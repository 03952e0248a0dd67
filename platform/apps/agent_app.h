// The agent app (app id 5): the outside agent library's app object, a member of the agent bus that
// follows the camera's state reports.
#pragma once

#include "zel_app_object.h"

#ifdef __cplusplus
extern "C" {
#endif

// A new app object for id 5 with its agent module "agent_app" running, or NULL.
app_object_t *agent_app_create(int arg);

#ifdef __cplusplus
}
#endif
