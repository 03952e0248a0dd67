// The media app's side of the encoder hot configuration: the converter from a hot-configuration
// text into the exported encoder configuration, with the tables from resolution and bitrate indexes
// to pixel sizes and bits per second.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_media_venc_config {
    int32_t pt;
    int32_t reserved;
    int32_t bps;  // bits per second
    int32_t fps;
    int32_t width;
    int32_t height;
    int32_t pf;
    int32_t bps_c;
} zel_media_venc_config_t;

typedef struct zel_media_encoder_config {
    int32_t converted;  // 1 once a configuration was converted
    int32_t reserved;
    zel_media_venc_config_t venc[2];
} zel_media_encoder_config_t;

typedef struct zel_media_res_row {
    int index;
    int width;
    int height;
} zel_media_res_row_t;

typedef struct zel_media_bps_row {
    int index;
    int bps;
} zel_media_bps_row_t;

enum { ZEL_MEDIA_RES_ROWS = 5, ZEL_MEDIA_BPS_ROWS = 12 };

extern zel_media_encoder_config_t init_config;
extern const zel_media_res_row_t res_map[ZEL_MEDIA_RES_ROWS];
extern const zel_media_bps_row_t bps_map[ZEL_MEDIA_BPS_ROWS];

// Parses the text and converts both video encoders into init_config: 0, or -1 when it does not
// parse. An index without a table row is logged and leaves that value as it was.
int hot_config_str_to_vencconfig(const char *json);

#ifdef __cplusplus
}
#endif
