#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"

#include "zel_control/log/zel_log.h"

namespace {
constexpr const char *TAG = "zel_tolk";
} // namespace

int _zel_sdk_log_init(const ko_log_param *param)
{
    if (!param) {
        ZEL_LOGE(TAG, "log_param is null ...");
        ZEL_LOGE(TAG, " _zel_sdk_log_init error! ");
        return -1;
    }
    const int ret = ko_log_init(param);
    if (ret != 0) {
        ZEL_LOGE(TAG, "ko_log_init fail ...");
        ZEL_LOGE(TAG, " _zel_sdk_log_init error! ");
    }
    return ret;
}

int _zel_sdk_init(const ko_ipc_sdk_param *param)
{
    const int ret = ko_ipc_sdk_init(param);
    if (ret != 0) {
        ZEL_LOGE(TAG, "ko_ipc_sdk_init fail ...");
        ZEL_LOGE(TAG, " _zel_sdk_init error! ");
    }
    return ret;
}

int _zel_sdk_get_server_time(uint32_t *out) { return ko_ipc_get_server_time(out); }

int _zel_ipc_stream_chn_add(ko_stream_chn_info *info) { return ko_ipc_stream_chn_add(info); }
int _zel_ipc_stream_put_frame(unsigned channel, ko_av_frame *frame) { return ko_ipc_stream_put_frame(channel, frame); }
int _zel_ipc_event_trigger(int consumers, const ko_event_info *info) { return ko_ipc_event_trigger(consumers, info); }
int _zel_ipc_config_reset(void) { return ko_ipc_config_reset(); }

ko_audio_codec *_zel_audio_encode_init(const ko_audio_param *param) { return ko_audio_encode_init(param); }
int _zel_audio_encode_frame(ko_audio_codec **codec, const void *in, int in_len, void *out, int out_len)
{
    return ko_audio_encode_frame(codec, in, in_len, out, out_len);
}
int _zel_audio_encode_deinit(ko_audio_codec **codec) { return ko_audio_encode_deinit(codec); }
ko_audio_codec *_zel_audio_decode_init(const ko_audio_param *param) { return ko_audio_decode_init(param); }
int _zel_audio_decode_frame(ko_audio_codec **codec, const void *in, int in_len, void *out, int out_len)
{
    return ko_audio_decode_frame(codec, in, in_len, out, out_len);
}
int _zel_audio_decode_deinit(ko_audio_codec **codec) { return ko_audio_decode_deinit(codec); }

int _zel_p2p_init(const ko_p2p_param *param) { return ko_p2p_init(param); }
int _ko_p2p_alive_enable(void) { return ko_p2p_alive_enable(1); }

int _zel_local_storage_init(const char *path, int cameras, uint64_t min, uint64_t yvideo, uint64_t reserved,
                            int mode, ko_storage_status_cb status_cb)
{
    return ko_local_storage_init_v2(path, cameras, min, yvideo, reserved, mode, status_cb);
}
int _zel_local_storage_create(int video_channel, int audio_channel)
{
    return ko_local_storage_create(video_channel, audio_channel);
}
int _zel_local_storage_set_mode(int video_channel, int mode) { return ko_local_storage_set_mode_v2(video_channel, mode); }
int _zel_local_set_format_status(int state) { return ko_local_set_format_status(state); }

int _zel_cloud_init(const cloud_init_param_t *param) { return ko_cloud_init(param); }
int _zel_cloud_deinit(void) { return ko_cloud_deinit(); }
int _zel_cloud_set_upload_switch(int on) { return ko_cloud_set_upload_switch(on); }
int _zel_cloud_alarm_config_set(const cloud_alarm_config_t *config) { return ko_alarm_config_set(config); }
int _zel_cloud_get_vip_status(char *state) { return ko_cloud_get_vip_status(state); }

int _zel_p2p_deinit(void) { return ko_p2p_deinit(); }
int _zel_p2p_get_clients_conn_info(ko_p2p_conn_info *info) { return ko_p2p_get_clients_conn_info(info); }
int _zel_local_storage_destroy(int video_channel) { return ko_local_storage_destroy(video_channel); }
int _zel_local_storage_deinit(void) { return ko_local_storage_deinit_v2(); }
int _zel_cloud_query_buffer(cloud_buffer_info_t *info) { return ko_cloud_query_buffer(info); }

int _zel_ota_start(const ko_ota_start_param *param) { return ko_ota_start(param); }
int _zel_ota_abort(void) { return ko_ota_abort(); }
void _zel_ota_progress_report(int percent) { ko_ota_progress_report(percent); }

int _zel_logfiles_upload_init(ko_logfiles_list_cb callback) { return ko_logfiles_upload_init(callback); }
int _zel_logfiles_upload_deinit(void) { return ko_logfiles_upload_deinit(); }
int _zel_nas_init(void) { return 0; }
