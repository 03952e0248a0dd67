// Stand-ins for the apps that later builds add (client 4, status 7) as a shared
// library that the tests preload into the real zelmar_app: the program's weak references resolve to
// them, as they will to the modules' own definitions. Each creation is noted on stdout.
#include "zel_app_object.h"

#include <cstdio>
#include <cstdlib>

namespace {

app_object_t *make(int id)
{
    auto *obj = static_cast<app_object_t *>(calloc(1, sizeof(app_object_t)));
    if (!obj || app_object_init(obj, id) != 0) {
        free(obj);
        return nullptr;
    }
    printf("preloaded app %d created\n", id);
    fflush(stdout);
    return obj;
}

} // namespace

extern "C" {
app_object_t *client_app_create(int) { return make(APP_ID_CLIENT); }
app_object_t *status_app_create(int) { return make(APP_ID_STATUS); }
}
