// The functions of the modules that live apart from the start-up: the media, status, client, algorithm
// and log-copy apps and the motor start-up. The main program refers to them weakly, so that its tests
// put their own in their place and a module may come from a shared library the program loads: a
// missing function's address is null. A missing create function leaves its app-table row empty, and
// the manager names the app where it would create it, then aborts:
//   "app 7 <app_status>: its create function is not part of this build"
// A missing zel_motor_init, zel_algo_finish or zel_media_deinit is skipped with a warning. A module
// that defines one, in zelmar_app or in a shared library it loads, takes its place with no change
// here. Only zelmar_apps.cpp and zelmar_start.cpp include this header.
#pragma once

#include "zel_app_object.h"

extern "C" {
app_object_t *client_app_create(int arg) __attribute__((weak));
app_object_t *media_app_create(int arg) __attribute__((weak));
app_object_t *status_app_create(int arg) __attribute__((weak));
app_object_t *algo_app_create(int arg) __attribute__((weak));
app_object_t *cp_log_app_create(int arg) __attribute__((weak));
int zel_motor_init(void) __attribute__((weak));
int zel_algo_finish(void) __attribute__((weak));
int zel_media_deinit(void) __attribute__((weak));
}
