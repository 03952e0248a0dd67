// The firmware version from /etc/os-release and the card sizes from statfs.
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

using zel_rpc::TAG;

int zel_os_release_version(char *out, int size, int max_len)
{
    if (!out || size <= 0) {
        ZEL_LOGE(TAG, " input param is null \n");
        return -1;
    }
    out[0] = '\0';
    const std::string path = zel_path("/etc/os-release");
    if (access(path.c_str(), F_OK) != 0) {
        ZEL_LOGE(TAG, "The file is not exist.%s \n", path.c_str());
        return -1;
    }
    FILE *file = std::fopen(path.c_str(), "r");
    if (!file) {
        ZEL_LOGE(TAG, "fopen error.%s \n", path.c_str());
        return -1;
    }
    char line[64];
    int result = 1;
    while (std::fgets(line, sizeof line, file)) {
        const char *eq = std::strchr(line, '=');
        if (!std::strstr(line, "HALVORN_VERSION") || !eq)
            continue;
        // Only a newline ends the value: a last line without one keeps its last character.
        size_t len = std::strlen(eq + 1);
        if (len > 0 && eq[len] == '\n')
            --len;
        len = std::min({len, static_cast<size_t>(max_len), static_cast<size_t>(size - 1)});
        std::memcpy(out, eq + 1, len);
        out[len] = '\0';
        ZEL_LOGI(TAG, "version=%s \n", out);
        result = 0;
        break;
    }
    if (result != 0 && std::ferror(file)) {
        ZEL_LOGE(TAG, "fgets error.%s \n", path.c_str());
        result = 2;
    } else if (result != 0) {
        ZEL_LOGE(TAG, "no HALVORN_VERSION in %s \n", path.c_str());
    }
    std::fclose(file);
    return result;
}

int zel_rpc_get_firmware_version(char *out, int size)
{
    const int result = zel_os_release_version(out, size, 31);
    return result < 0 || result == 1 ? -1 : 0;
}

int zel_rpc_sd_statfs(uint64_t *total, uint64_t *used, uint64_t *free_bytes)
{
    struct statfs st {};
    if (!total || !used || !free_bytes || statfs(zel_path("/mnt/sdcard").c_str(), &st) != 0) {
        std::printf("statfs failed!\n");
        return -1;
    }
    const uint64_t block = static_cast<uint64_t>(st.f_bsize);
    *total = static_cast<uint64_t>(st.f_blocks) * block;
    *used = static_cast<uint64_t>(st.f_blocks - st.f_bfree) * block;
    *free_bytes = static_cast<uint64_t>(st.f_bavail) * block;
    return 0;
}
