// Loading shared libraries at run time.
#include <dlfcn.h>

#include "zel_net_core/zel_net.h"

extern "C" void *zel_load_library(const char *path)
{
    return dlopen(path, RTLD_LAZY);
}

extern "C" void *zel_load_function(void *handle, const char *name)
{
    dlerror();
    void *address = dlsym(handle, name);
    return dlerror() ? nullptr : address;
}

extern "C" int zel_close_library(void *handle)
{
    return dlclose(handle);
}
