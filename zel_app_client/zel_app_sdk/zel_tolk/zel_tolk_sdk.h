// The business layer's calls into the SDK and its services, each passing its arguments through and
// giving back the SDK's result, so that every SDK entry the layer uses is named in one place.
#pragma once

#include <stdint.h>

#include "common/ko_ipc_sdk.h"
#include "app/cloud/ko_cloud.h"
#include "app/logfiles/ko_logfiles.h"
#include "app/ota/ko_ota.h"
#include "app/p2p/ko_p2p.h"
#include "app/record/ko_local_storage.h"

#ifdef __cplusplus
extern "C" {
#endif

// These two also log the failure texts of the start-up.
int _zel_sdk_log_init(const ko_log_param *param);
int _zel_sdk_init(const ko_ipc_sdk_param *param);
int _zel_sdk_get_server_time(uint32_t *out);

int _zel_ipc_stream_chn_add(ko_stream_chn_info *info);
int _zel_ipc_stream_put_frame(unsigned channel, ko_av_frame *frame);
int _zel_ipc_event_trigger(int consumers, const ko_event_info *info);
int _zel_ipc_config_reset(void);

ko_audio_codec *_zel_audio_encode_init(const ko_audio_param *param);
int _zel_audio_encode_frame(ko_audio_codec **codec, const void *in, int in_len, void *out, int out_len);
int _zel_audio_encode_deinit(ko_audio_codec **codec);
ko_audio_codec *_zel_audio_decode_init(const ko_audio_param *param);
int _zel_audio_decode_frame(ko_audio_codec **codec, const void *in, int in_len, void *out, int out_len);
int _zel_audio_decode_deinit(ko_audio_codec **codec);

int _zel_p2p_init(const ko_p2p_param *param);
// Switches the P2P keep-alive on.
int _ko_p2p_alive_enable(void);

int _zel_local_storage_init(const char *path, int cameras, uint64_t min, uint64_t yvideo, uint64_t reserved,
                            int mode, ko_storage_status_cb status_cb);
int _zel_local_storage_create(int video_channel, int audio_channel);
int _zel_local_storage_set_mode(int video_channel, int mode);
int _zel_local_set_format_status(int state);

int _zel_cloud_init(const cloud_init_param_t *param);
int _zel_cloud_deinit(void);
int _zel_cloud_set_upload_switch(int on);
int _zel_cloud_alarm_config_set(const cloud_alarm_config_t *config);
int _zel_cloud_get_vip_status(char *state);

int _zel_p2p_deinit(void);
int _zel_p2p_get_clients_conn_info(ko_p2p_conn_info *info);
int _zel_local_storage_destroy(int video_channel);
int _zel_local_storage_deinit(void);
int _zel_cloud_query_buffer(cloud_buffer_info_t *info);

int _zel_ota_start(const ko_ota_start_param *param);
int _zel_ota_abort(void);
void _zel_ota_progress_report(int percent);

int _zel_logfiles_upload_init(ko_logfiles_list_cb callback);
int _zel_logfiles_upload_deinit(void);
// There is no NAS start here (the main program starts it): 0.
int _zel_nas_init(void);

#ifdef __cplusplus
}
#endif
