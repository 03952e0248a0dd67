#include "zelmar/zel_env.h"

#include <cstdlib>

#include "zel_control/log/zel_log.h"

int zel_env_port(const char *name, int fallback, int highest)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char *end = nullptr;
    const long port = std::strtol(text, &end, 10);
    if (*end == '\0' && port > 0 && port <= highest)
        return static_cast<int>(port);
    ZEL_LOGW("zelmar", "%s=%s is not a usable port, using %d\n", name, text, fallback);
    return fallback;
}
