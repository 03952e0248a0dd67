// The encoder hot configuration: a JSON text with up to two video encoders, the audio encoder and up
// to six OSD texts, turned into a fixed record and back, and merged module by module.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ZEL_HOT_VER_LEN = 8, ZEL_HOT_VENC_NUM = 2, ZEL_HOT_OSD_NUM = 6 };

typedef struct zel_hot_venc {
    int32_t reserved;  // left zero
    int32_t fps;
    int32_t pt;
    int32_t bps;  // a bitrate index
    int32_t res;  // a resolution index
    int32_t bps_c;
    int32_t pf;
} zel_hot_venc_t;

typedef struct zel_hot_audio {
    int32_t at;
    int32_t v;
    int32_t sr;
    int32_t sb;
} zel_hot_audio_t;

typedef struct zel_hot_osd {
    char *data;  // heap text owned by the record (zel_hot_config_free_osd), or null
    int32_t x;
    int32_t y;
} zel_hot_osd_t;

typedef struct zel_hot_config {
    char ver[ZEL_HOT_VER_LEN];  // not necessarily NUL-terminated
    zel_hot_venc_t video[ZEL_HOT_VENC_NUM];
    zel_hot_audio_t audio;
    zel_hot_osd_t osd[ZEL_HOT_OSD_NUM];
} zel_hot_config_t;

// Fills `out` (zero-filled by the caller, or holding earlier OSD texts, which are replaced) from the
// text: 0 or -1. What a failed parse stored stays in the record.
int zel_hot_config_str_to_object(zel_hot_config_t *out, const char *json);
// The JSON text of the record in `buf` when it fits (strictly shorter than size): 0 or -1.
int zel_hot_config_object_to_str(char *buf, unsigned size, zel_hot_config_t cfg);
// Copies the first of "video", "audio", "osd" that add_json holds into json (whose buffer has `size`
// bytes), and its name into module_out (at most module_len - 1 characters and a NUL): 0, or -1 when
// a text is missing or not JSON, no module is found or the merged text does not fit (json unchanged).
int zel_hot_config_add_obj_to_obj(char *json, unsigned size, const char *add_json, char *module_out, int module_len);
// The same with the single module "record".
int zel_record_hot_config_add_obj_to_obj(char *json, unsigned size, const char *add_json, char *module_out,
                                         int module_len);
// The JSON text of one member into `out` (len bytes with the NUL): 0, or -1 when an argument is
// missing, the text is not JSON, the member is absent or its text does not fit.
int zel_hot_config_str_get_module(const char *json, const char *module, char *out, int len);
// Frees the record's OSD texts.
void zel_hot_config_free_osd(zel_hot_config_t *cfg);

#ifdef __cplusplus
}
#endif
