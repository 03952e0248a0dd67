// The upload side as far as recording needs it: start clears clips left from an earlier run, and
// the bus handler of the cloud's keys.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/cloud/cloud_http.h"
#include "app/cloud/ko_cloud_internal.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_file.h"
#include "zelmar/zel_path.h"

int cloud_upload_start(cloud_record_ctx_t *ctx)
{
    if (!ctx)
        return -2;
    const std::string dir = zel_path(ctx->dir);
    std::string made = dir;
    if (mkdir_recursive(made.data(), 0755) != 0)
        KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "mkdir", strerror(errno));
    cloud_upload_ctx().rec = &ctx->shared;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return 0;
    while (const dirent *e = readdir(d)) {
        if (!strstr(e->d_name, ".mp4") && !strstr(e->d_name, ".jpeg"))
            continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(path.c_str()) != 0)
            KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
    }
    closedir(d);
    return 0;
}

void cloud_upload_exit(cloud_record_ctx_t *ctx)
{
    (void)ctx;
    cloud_upload_ctx_t &up = cloud_upload_ctx();
    std::lock_guard<std::mutex> lock(up.mutex);
    up.token_valid = 0;
}

void msg_rpc_slot(const ko_message_arg *arg)
{
    if (!arg || !cloud_record_ctx().initialised) {
        KO_LOGE(CLOUD_MODULE, "invaid motion trigger handle in cloud\n");
        return;
    }
    KO_LOGI(CLOUD_MODULE, "cloud message %s (%u bytes) waits for the upload thread\n", arg->msgkey,
            static_cast<unsigned>(arg->len));
}
