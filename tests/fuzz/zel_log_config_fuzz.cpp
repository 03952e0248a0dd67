// Feeds a logging configuration file to zel_log_init in a temporary root, logs a line through the
// loggers it made and resets with zel_log_uninit. Configurations naming a UDP or syslog appender
// or a path that climbs out of the root are skipped: the fuzzer sends nothing off the process.
#include "zel_control/log/zel_log.h"
#include "zel_fuzz_root.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // With a trailing slash a relative file name of an appender lands inside the root too.
    setenv("ZELMAR_ROOT", (zelfuzz::root().dir() + "/").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find("udp") != std::string::npos || lower.find("syslog") != std::string::npos ||
        lower.find("..") != std::string::npos)
        return -1;
    static const std::string path = zelfuzz::root().path("/tmp/log.ini");
    if (!zelfuzz::root().write("/tmp/log.ini", data, size))
        abort();
    if (zel_log_init(path.c_str()) == 0) {
        zel_log_queue_output(nullptr, ZEL_LOG_ERROR, "FUZZ", __FILE__, __func__, __LINE__, "line %d", 1);
        zel_log_queue_output(zel_log_get_logger("a"), ZEL_LOG_DEBUG, "FUZZ", __FILE__, __func__, __LINE__, "x");
    }
    zel_log_uninit();
    return 0;
}
