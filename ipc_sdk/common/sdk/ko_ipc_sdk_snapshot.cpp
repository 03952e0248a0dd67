// The SDK core's own bus handlers: snapshots taken for the SD and cloud recorders (one at a time)
// and the answer to the SDK information request.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/ipc/ko_message.h"
#include "common/sdk/ko_sdk_internal.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_path.h"

namespace {

std::mutex g_snapshot_lock;

int push_to(uint32_t to_uid, const char *key, const std::string &text)
{
    return ko_message_send(KO_UID_SDK, to_uid, key, text.c_str(), static_cast<uint32_t>(text.size()),
                           KO_MSG_MODE_ASYNC);
}

bool write_file(const std::string &path, const void *data, size_t size)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file) {
        KO_LOGE(KO_IPC_MODULE, "system call err:%s, errno:%s\n", "fopen", strerror(errno));
        return false;
    }
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (!written)
        KO_LOGE(KO_IPC_MODULE, "system call err:%s, errno:%s\n", "fwrite", strerror(errno));
    if (std::fclose(file) != 0) {
        KO_LOGE(KO_IPC_MODULE, "system call err:%s, errno:%s\n", "fclose", strerror(errno));
        return false;
    }
    return written;
}

// Hands the picture to its consumer: type 0 the SD recorder, type 1 a file.
void deliver_snapshot(ko_sdk_info *record, int type, int channel, const char *filename, uint64_t time_tick,
                      const void *data, int size)
{
    if (type == 0) {
        if (record->local_storage_write_pic_func)
            record->local_storage_write_pic_func(channel, data, size);
        else
            KO_LOGE(KO_IPC_MODULE, "g_sdk_info->local_storage_write_pic_func is NULL\n");
    } else if (type == 1) {
        if (!filename) {
            KO_LOGE(KO_IPC_MODULE, "ko_snapshot_func type:%d, filename is NULL\n", type);
            return;
        }
        // The picture appears under its name only when whole: the cloud uploader takes a clip as
        // soon as its picture exists.
        const std::string path = zel_path(filename);
        const std::string part = path + ".part";
        if (!write_file(part, data, static_cast<size_t>(size))) {
            std::remove(part.c_str());
            return;
        }
        if (ko_sub_uint64(vexa_time_tick_s(), time_tick) >= 3) {
            if (std::remove(part.c_str()) != 0)
                KO_LOGE(KO_IPC_MODULE, "system call err:%s, errno:%s\n", "remove", strerror(errno));
            KO_LOGE(KO_IPC_MODULE, "ko_snapshot_func type:%d, filename:%s ,time_tick > 2\n", type, filename);
        } else if (std::rename(part.c_str(), path.c_str()) != 0) {
            KO_LOGE(KO_IPC_MODULE, "system call err:%s, errno:%s\n", "rename", strerror(errno));
            std::remove(part.c_str());
        }
    } else {
        KO_LOGE(KO_IPC_MODULE, "ko_snapshot_func type:%d is invalid\n", type);
    }
}

void handle_msg_snapshot(const ko_message_arg *arg)
{
    ko_sdk_info *record = static_cast<ko_sdk_info *>(arg->user);
    KO_LOGI(KO_IPC_MODULE, "--%lu try to get snapshot [%s]..\n", static_cast<unsigned long>(arg->len),
            arg->param ? static_cast<const char *>(arg->param) : "");
    if (!arg->param || !record) {
        KO_LOGE(KO_IPC_MODULE, "invalid %s trigger param\n", "snapshot");
        return;
    }
    json_object *obj = json_tokener_parse(static_cast<const char *>(arg->param));
    if (!obj) {
        KO_LOGE(KO_IPC_MODULE, "json object is null %d\n", KO_SDK_ERR_NOMEM);
        return;
    }
    json_object *value = nullptr;
    const int type = json_object_object_get_ex(obj, "type", &value) ? json_object_get_int(value) : 0;
    const int channel = json_object_object_get_ex(obj, "channel", &value) ? json_object_get_int(value) : 0;
    const char *filename = json_object_object_get_ex(obj, "filename", &value) && json_object_is_type(value, json_type_string)
                               ? json_object_get_string(value)
                               : nullptr;
    const uint64_t time_tick = type == 1 && json_object_object_get_ex(obj, "time_tick", &value)
                                   ? static_cast<uint64_t>(json_object_get_int64(value))
                                   : 0;
    {
        std::lock_guard<std::mutex> guard(g_snapshot_lock);
        if (!record->param.ko_snapshot_func) {
            KO_LOGE(KO_IPC_MODULE, "ko_snapshot_func is NULL\n");
        } else {
            void *data = nullptr;
            int size = 0;
            uint8_t must_free = 1;
            record->param.ko_snapshot_func(channel, &data, &size, &must_free);
            if (!data || size <= 0)
                KO_LOGE(KO_IPC_MODULE, "ko_snapshot_func output data is NULL\n");
            else
                deliver_snapshot(record, type, channel, filename, time_tick, data, size);
            if (must_free)
                std::free(data);
        }
    }
    json_object_put(obj);
}

void handle_msg_sdkinfo(const ko_message_arg *arg)
{
    ko_sdk_info *record = static_cast<ko_sdk_info *>(arg->user);
    if (!record)
        return;
    json_object *obj = json_object_new_object();
    if (!obj) {
        KO_LOGE(KO_IPC_MODULE, "json object is null\n");
        return;
    }
    json_object_object_add(obj, "model", json_object_new_string(ko_sdk::text_of(record->param.model).c_str()));
    json_object_object_add(obj, "fw_ver", json_object_new_string(ko_sdk::text_of(record->param.fw_ver).c_str()));
    const std::string text = ko_sdk::json_text(obj);
    json_object_put(obj);
    if (text.empty()) {
        KO_LOGE(KO_IPC_MODULE, "invalid context len for %s\n", "sdkinfo_resp");
        return;
    }
    if (push_to(arg->from_uid, "sdkinfo_resp", text) != 0)
        KO_LOGE(KO_IPC_MODULE, "push sdkinfo_resp to %u failed\n", static_cast<unsigned>(arg->from_uid));
}

const struct {
    const char *key;
    ko_message_handler handler;
} kCoreKeys[] = {
    {"snapshot", handle_msg_snapshot},
    {"sdkinfo_req", handle_msg_sdkinfo},
    {"_sync.set_extra_data", handle_msg_sdkinfo},
};

} // namespace

namespace ko_sdk {

int register_core_handlers()
{
    for (const auto &key : kCoreKeys) {
        const int ret = ko_message_listen(KO_UID_SDK, key.key, key.handler, g_sdk_info);
        if (ret < 0) {
            KO_LOGE(KO_IPC_MODULE, "register %s failed %d\n", key.key, ret);
            return ret;
        }
    }
    return 0;
}

void unregister_core_handlers()
{
    for (const auto &key : kCoreKeys)
        ko_message_unregister(KO_UID_SDK, key.key);
}

} // namespace ko_sdk

extern "C" int ko_ipc_snapshot_get(int type, int channel, const char *filename)
{
    KO_LOGI(KO_IPC_MODULE, "----------get snapshot @@@type:%d, channel:%d filename [%s]\n", type, channel,
            filename ? filename : "");
    json_object *obj = json_object_new_object();
    if (!obj) {
        KO_LOGE(KO_IPC_MODULE, "json object is null\n");
        return KO_SDK_ERR_NOMEM;
    }
    json_object_object_add(obj, "type", json_object_new_int(type));
    json_object_object_add(obj, "channel", json_object_new_int(channel));
    if (filename)
        json_object_object_add(obj, "filename", json_object_new_string(filename));
    if (type == 1)
        json_object_object_add(obj, "time_tick", json_object_new_int64(static_cast<int64_t>(vexa_time_tick_s())));
    const std::string text = ko_sdk::json_text(obj);
    json_object_put(obj);
    push_to(KO_UID_SDK, "snapshot", text);
    return 0;
}

extern "C" int ko_set_local_storage_write_pic_func(ko_write_pic_fn fn)
{
    if (!g_sdk_info) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    g_sdk_info->local_storage_write_pic_func = fn;
    KO_LOGI(KO_IPC_MODULE, "ko_set_local_storage_write_pic_func success, %p\n", reinterpret_cast<void *>(fn));
    return 0;
}
