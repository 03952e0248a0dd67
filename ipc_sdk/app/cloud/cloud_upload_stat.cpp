// The "cloud.info" statistics report of cloud recording and upload.
#include <json-c/json.h>

#include "app/cloud/cloud_upload.h"
#include "app/cloud/ko_cloud_internal.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"

namespace {

constexpr const char *kUploadNames[UP_STEP1] = {
    "long_http",          "mp4_cache_max",     "mp4_encrypt_err",   "pic_encrypt_err",     "file_id",
    "jpeg_mp4_err",       "post_file",         "post_file_err",     "post_file_timeout",   "post_file_retry",
    "post_file_avg_ms",   "post_file_avg_byte", "post_meta",        "post_meta_err",       "post_meta_timeout",
    "post_meta_retry",    "post_meta_avg_ms",
};

void add(json_object *obj, const char *key, int64_t value)
{
    json_object_object_add(obj, key, json_object_new_int64(value));
}

} // namespace

std::atomic<uint32_t> *cloud_upload_counters(void)
{
    static std::atomic<uint32_t> counters[UP_COUNTERS];
    return counters;
}

void msg_cb_cloud_report_stat(const ko_message_arg *arg)
{
    if (!arg || !arg->param || arg->len == 0) {
        KO_LOGE(CLOUD_MODULE, "invalid param!\n");
        return;
    }
    cloud_record_ctx_t &c = cloud_record_ctx();
    ko_json_ptr obj(json_object_new_object());
    if (!obj)
        return;
    {
        std::lock_guard<std::mutex> lock(c.shared.mutex);
        add(obj.get(), "vip", c.shared.vip);
        add(obj.get(), "switch", c.shared.cloud_switch);
        add(obj.get(), "expired", c.shared.expired);
    }
    const cloud_record_stats &r = c.stats;
    const uint32_t queued = r.rec_mp4.load();
    add(obj.get(), "event", r.event.load());
    add(obj.get(), "rec_mp4", queued);
    add(obj.get(), "mp4_finish_err", r.mp4_finish_err.load());
    add(obj.get(), "video_frame_err", r.video_frame_err.load());
    add(obj.get(), "audio_frame_err", r.audio_frame_err.load());
    add(obj.get(), "mp4_size_min", r.mp4_size_min.load());
    add(obj.get(), "mp4_size_max", r.mp4_size_max.load());
    add(obj.get(), "handle_err", r.handle_err.load());
    add(obj.get(), "add_node", queued);
    add(obj.get(), "add_node_err", r.add_node_err.load());
    for (int i = 0; i < 10; ++i)
        add(obj.get(), ("rec_step" + std::to_string(i + 1)).c_str(), r.rec_step[i].load());
    std::atomic<uint32_t> *u = cloud_upload_counters();
    for (int i = 0; i < UP_STEP1; ++i)
        add(obj.get(), kUploadNames[i], u[i].load());
    for (int i = 0; i < 9; ++i)
        add(obj.get(), ("up_step" + std::to_string(i + 1)).c_str(), u[UP_STEP1 + i].load());
    if (report_stat_json("cloud.info", obj.get()) != 0)
        KO_LOGE(CLOUD_MODULE, "cloud.info not reported\n");
}
