// Start, stop and settings of cloud event recording.
#include "app/cloud/ko_cloud.h"

#include <cstdio>
#include <cstring>

#include "app/cloud/cloud_list.h"
#include "app/cloud/cloud_record.h"
#include "app/cloud/cloud_schedule.h"
#include "app/cloud/cloud_upload.h"
#include "app/cloud/ko_cloud_internal.h"
#include "app/cloud/ko_cloud_test.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

static_assert(sizeof(cloud_alarm_config_t) == 36, "alarm configuration record");

namespace {

constexpr uint32_t kMinBuffer = 921600;
constexpr int64_t kMinClock = 946656000;
// The directory leaves room in the 64-byte node paths for "/", ten digits and ".jpeg".
constexpr size_t kDirMax = 64 - 1 - 10 - 5 - 1;
constexpr const char *kKeys[] = {"rpc.ack", "cloudSwitch", "vexa_camera_delete_files", "vexa_camera_put_gop_info"};
constexpr const char *kMethods[] = {"_sync.camera_login", "cloudSwitch", "vexa_camera_delete_files",
                                    "vexa_camera_put_gop_info"};

void unregister_all()
{
    for (const char *key : kKeys)
        ko_message_unregister(KO_UID_CLOUD, key);
}

int subscribe()
{
    for (const char *method : kMethods)
        if (ko_message_send(KO_UID_CLOUD, KO_UID_RPC, "rpc.register", method, static_cast<uint32_t>(strlen(method)),
                            KO_MSG_MODE_SYNC) < 0)
            KO_LOGE(CLOUD_MODULE, "push rpc ack msg failure ret\n");
    for (const char *key : kKeys) {
        if (ko_message_listen(KO_UID_CLOUD, key, msg_rpc_slot, nullptr) != 0) {
            KO_LOGE(CLOUD_MODULE, "msg [motion] register %s err\n", key);
            return -1;
        }
    }
    return 0;
}

// The buffer size: the given one, or the video channel's bit rate (kbit/s) x buffered seconds x
// 2048 / 10 in 32-bit arithmetic.
uint32_t buffer_size(const cloud_init_param_t &p, uint32_t *bitrate, uint32_t *seconds)
{
    const ko_stream_chn_info *s = ko_ipc_get_stream_info(static_cast<unsigned>(p.video_channel));
    *bitrate = s ? s->bitrate : 0;
    *seconds = s ? s->seconds : 0;
    if (p.buffer_size)
        return p.buffer_size;
    return *bitrate * *seconds * 2048u / 10u;
}

} // namespace

cloud_record_ctx_t &cloud_record_ctx()
{
    static cloud_record_ctx_t ctx;
    return ctx;
}

int ko_cloud_init(const cloud_init_param_t *param)
{
    const ko_sdk_info *sdk = ko_ipc_get_sdk_info();
    if (!sdk || !sdk->valid) {
        KO_LOGE(CLOUD_MODULE, "cloud init failed\n");
        return -1;
    }
    if (!param)
        return -5;
    const int64_t now = static_cast<int64_t>(vexa_time_get_ms() / 1000);
    if (now <= kMinClock) {
        KO_LOGE(CLOUD_MODULE, "time is not right now: %ld, min %d.\n", static_cast<long>(now), 946656000);
        return -4;
    }
    cloud_record_ctx_t &c = cloud_record_ctx();
    if (c.initialised) {
        KO_LOGI(CLOUD_MODULE, "cloud init already\n");
        return 0;
    }
    if (param->buffer_size && param->buffer_size < kMinBuffer) {
        KO_LOGE(CLOUD_MODULE, "media_buf_size should > %u bytes,now=%u\n", kMinBuffer, param->buffer_size);
        KO_LOGE(CLOUD_MODULE, "cloud init failed\n");
        return -5;
    }
    const size_t dir_len = strnlen(param->dir, sizeof param->dir);
    if (dir_len > kDirMax) {
        KO_LOGE(CLOUD_MODULE, "clip directory longer than %zu characters\n", kDirMax);
        KO_LOGE(CLOUD_MODULE, "cloud init failed\n");
        return -5;
    }

    {
        std::lock_guard<std::mutex> lock(c.shared.mutex);
        c.upload_switch = 0;
        c.shared.cloud_switch = c.shared.vip = c.shared.free_surveillance = 0;
        c.shared.vip_expiry_ms = 0;
        c.shared.gop = 3;
        c.shared.alarm_offset_limit = 3;
        c.shared.cloud_offset_limit = 600;
        c.upload_speed = 100000;
        c.alarm = {};
        c.param = *param;
        snprintf(c.dir, sizeof c.dir, "%.*s", static_cast<int>(dir_len), dir_len ? param->dir : "/tmp/");
        c.shared.check_people_motion = param->check_people_motion;
        c.shared.check_face = param->check_face;
        c.shared.check_baby_cry = param->check_baby_cry;
        c.shared.expired = 0;
    }
    c.group = 0;
    c.file_counter = 0;
    c.stats.reset();
    c.shared.running = 1;
    uint32_t bitrate = 0, seconds = 0;
    c.buffer_size = buffer_size(*param, &bitrate, &seconds);
    KO_LOGI(CLOUD_MODULE, "cloud max size : buf_size=%u,bitrate=%u,max_seconds=%u\n", c.buffer_size, bitrate, seconds);
    if (cloud_list_init(c.buffer_size) != 0) {
        KO_LOGE(CLOUD_MODULE, "init file list failed!\n");
        c.shared.running = 0;
        return -3;
    }
    if (subscribe() != 0) {
        unregister_all();
        c.shared.running = 0;
        KO_LOGE(CLOUD_MODULE, "cloud init failed\n");
        return -1;
    }
    if (cloud_upload_start(&c) != 0) {
        KO_LOGE(CLOUD_MODULE, "create cloud upload thread failed!");
        unregister_all();
        c.shared.running = 0;
        return -2;
    }
    if (cloud_record_start(&c) != 0) {
        KO_LOGE(CLOUD_MODULE, "create cloud record thread failed!");
        unregister_all();
        c.shared.running = 0;
        cloud_upload_exit(&c);
        cloud_list_deinit();
        return -2;
    }
    if (ko_message_listen(KO_UID_CLOUD, "upload_statistics", msg_cb_cloud_report_stat, nullptr) != 0) {
        KO_LOGE(CLOUD_MODULE, "cloud init failed\n");
        unregister_all();
        c.shared.running = 0;
        cloud_record_stop(&c);
        cloud_upload_exit(&c);
        cloud_list_deinit();
        return -1;
    }
    c.initialised = 1;
    return 0;
}

int ko_cloud_deinit(void)
{
    cloud_record_ctx_t &c = cloud_record_ctx();
    if (!c.initialised) {
        KO_LOGE(CLOUD_MODULE, "ko cloud uninit!\n");
        return -1;
    }
    if (ko_message_unregister(KO_UID_CLOUD, "upload_statistics") != 0)
        KO_LOGE(CLOUD_MODULE, "unregister message failed\n");
    unregister_all();
    c.shared.running = 0;
    cloud_record_stop(&c);
    cloud_upload_exit(&c);
    cloud_list_deinit();
    c.initialised = 0;
    KO_LOGI(CLOUD_MODULE, "ko_cloud : deinit finish!\n");
    return 0;
}

int ko_cloud_set_upload_switch(int on)
{
    cloud_record_ctx_t &c = cloud_record_ctx();
    if (!c.initialised) {
        KO_LOGE(CLOUD_MODULE, "ko cloud uninit,please init cloud first!\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    c.upload_switch = on != 0;
    KO_LOGI(CLOUD_MODULE, "set cloud enable %d success\n", on);
    return 0;
}

int ko_cloud_get_vip_status(char *out)
{
    if (!out)
        return -5;
    *out = 0;
    cloud_record_ctx_t &c = cloud_record_ctx();
    if (!c.initialised)
        return -1;
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    *out = static_cast<char>(c.shared.vip);
    return 0;
}

int ko_alarm_config_set(const cloud_alarm_config_t *config)
{
    cloud_record_ctx_t &c = cloud_record_ctx();
    if (!c.initialised) {
        KO_LOGE(CLOUD_MODULE, "ko cloud uninit, please init cloud first!\n");
        return -1;
    }
    const ko_stream_chn_info *s = ko_ipc_get_stream_info(static_cast<unsigned>(c.param.video_channel));
    if (!config || cloud_alarm_config_valid(config) != 0 || !s || s->fps == 0) {
        KO_LOGE(CLOUD_MODULE, "invalid param !\n");
        return -5;
    }
    cloud_alarm_config_t copy = *config;
    if (copy.record_seconds == 0)
        copy.record_seconds = 9;
    const uint32_t max_back = cloud_max_back_seconds(s->seconds, s->gop, s->fps);
    if (copy.back_seconds > max_back) {
        KO_LOGW(CLOUD_MODULE, "alarm_record_back_sec is invalid, use default! max back sec: %u\n", max_back);
        copy.back_seconds = static_cast<uint16_t>(s->gop / s->fps);
    }
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    c.alarm = copy;
    KO_LOGI(CLOUD_MODULE, "update alarm config done , interval %d\n", copy.interval);
    return 0;
}

int ko_cloud_query_buffer(cloud_buffer_info_t *info)
{
    if (!info) {
        KO_LOGE(CLOUD_MODULE, "valid param !\n");
        return -5;
    }
    int32_t used = 0;
    cloud_list_usage(&info->count, &used, &info->size);
    info->free_bytes = info->size - used;
    return 0;
}

cloud_alarm_config_t ko_cloud_test_alarm_config(void)
{
    cloud_record_ctx_t &c = cloud_record_ctx();
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    return c.alarm;
}

void ko_cloud_test_set_vip(uint8_t vip)
{
    cloud_record_ctx_t &c = cloud_record_ctx();
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    c.shared.vip = vip;
}

uint32_t ko_cloud_test_buffer_size(void)
{
    return cloud_record_ctx().buffer_size;
}

void ko_cloud_test_set_account(int vip, int cloud_switch)
{
    cloud_record_ctx_t &c = cloud_record_ctx();
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    c.shared.vip = vip != 0;
    c.shared.cloud_switch = cloud_switch != 0;
}

void ko_cloud_test_set_gop_limits(int gop, int cloud_offset_limit)
{
    cloud_record_ctx_t &c = cloud_record_ctx();
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    c.shared.gop = gop;
    c.shared.cloud_offset_limit = cloud_offset_limit;
}

ko_cloud_test_counts ko_cloud_test_counters(void)
{
    const cloud_record_stats &s = cloud_record_ctx().stats;
    return {s.event.load(), s.rec_mp4.load(), s.mp4_finish_err.load(), s.video_frames.load(), s.audio_frames.load()};
}

int ko_cloud_test_take_clip(cloud_file_node_t *out)
{
    const int rc = cloud_list_getfile(out);
    if (rc > 0)
        cloud_list_delete();
    return rc;
}
