#include "zelmar/zel_path.h"

#include <cstdlib>
#include <cstring>

const char *zel_path_root(void)
{
    const char *root = std::getenv("ZELMAR_ROOT");
    return root ? root : "";
}

std::string zel_path(std::string_view device_path)
{
    std::string_view root = zel_path_root();
    // A root given with a trailing slash must not double the path's own leading one.
    while (!root.empty() && root.back() == '/' && !device_path.empty() && device_path.front() == '/')
        root.remove_suffix(1);
    std::string real;
    real.reserve(root.size() + device_path.size());
    real.append(root).append(device_path);
    return real;
}

int zel_path_map(const char *device_path, char *out, size_t size)
{
    if (!device_path || !out)
        return -2;
    const std::string real = zel_path(device_path);
    if (real.size() + 1 > size)
        return -22;
    std::memcpy(out, real.c_str(), real.size() + 1);
    return 0;
}
