// Start, stop and reset of the kv store: key derivation from the MAC, the report registration, and
// removal of both database files.
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "common/kv/ko_kv.h"
#include "common/kv/ko_kv_internal.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_path.h"

int ko_kv_init(const ko_kv_init_param *param)
{
    std::unique_lock<ko_kv_rwlock> lock(g_ko_kv.lock);
    if (g_ko_kv.inited) {
        KO_LOGE(KO_KV_MODULE, "ko_kv_init already init, Please don't call this function!!!\n");
        return -1;
    }
    g_ko_kv.encrypt = false;
    g_ko_kv.dir.clear();
    g_ko_kv.spaces[0] = ko_kv_space{};
    for (auto *c : {&g_ko_kv.cnt.open_err_cnt, &g_ko_kv.cnt.get_err_cnt, &g_ko_kv.cnt.set_err_cnt,
                    &g_ko_kv.cnt.del_err_cnt, &g_ko_kv.cnt.crc32_err_cnt, &g_ko_kv.cnt.enc_err_cnt,
                    &g_ko_kv.cnt.dec_err_cnt, &g_ko_kv.cnt.last_err_code, &g_ko_kv.cnt.last_unqlite_code})
        c->store(0);
    if (!param || param->path[0] == 0) {
        KO_LOGE(KO_KV_MODULE, "kv path is not right.\n");
        return -1;
    }
    if (param->mac[0] == 0) {
        KO_LOGE(KO_KV_MODULE, "mac is null.\n");
        return -1;
    }
    g_ko_kv.encrypt = true;
    g_ko_kv.dir = zel_path(std::string_view(param->path, strnlen(param->path, 126)));
    if (ko_kv_stat_register() != 0) {
        KO_LOGE(KO_KV_MODULE, " message register failed!\n");
        return -1;
    }
    char mac[32] = {};
    memcpy(mac, param->mac, strnlen(param->mac, sizeof mac - 1));
    if (_ko_kv_derive_key(mac, g_ko_kv.key, g_ko_kv.iv) != 0) {
        KO_LOGE(KO_KV_MODULE, "kv key derivation failed\n");
        return -1;
    }
    if (sqlite3_initialize() != SQLITE_OK) {
        KO_LOGE(KO_KV_MODULE, "sqlite3_initialize failed\n");
        return -1;
    }
    if (sqlite3_threadsafe())
        KO_LOGI(KO_KV_MODULE, "ko kv support theadsafe!\n");
    else
        KO_LOGW(KO_KV_MODULE, "ko kv not support theadsafe!\n");
    g_ko_kv.inited = true;
    KO_LOGI(KO_KV_MODULE, "ko kv init ok!\n");
    return 0;
}

int ko_kv_deinit(void)
{
    KO_LOGI(KO_KV_MODULE, "start deinit kv.\n");
    {
        std::unique_lock<ko_kv_rwlock> lock(g_ko_kv.lock);
        if (!g_ko_kv.inited) {
            KO_LOGE(KO_KV_MODULE, "ko_kv dosn't initialize, can not deinit!\n");
            return -1;
        }
        g_ko_kv.inited = false;
    }
    KO_LOGI(KO_KV_MODULE, "end deinit kv.\n");
    return 0;
}

int ko_kv_reset(void)
{
    KO_LOGI(KO_KV_MODULE, "  kv reset start.\n");
    {
        std::unique_lock<ko_kv_rwlock> lock(g_ko_kv.lock);
        if (!g_ko_kv.dir.empty()) {
            for (const char *base : {KO_KV_SRC, KO_KV_BAK}) {
                std::string name;
                if (_ko_kv_get_db_filename(base, &name) != 0) {
                    KO_LOGE(KO_KV_MODULE, "get db filename failed,ret = %d\n", -1);
                    continue;
                }
                if (name.empty())
                    continue;
                const std::string path = g_ko_kv.dir + "/" + name;
                if (unlink(path.c_str()) != 0)
                    KO_LOGW(KO_KV_MODULE, "can not unlink %s: %s", path.c_str(), strerror(errno));
            }
        }
    }
    KO_LOGI(KO_KV_MODULE, "  kv reset end.\n");
    return 0;
}
