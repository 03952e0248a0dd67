// Hot configuration into the encoder configuration. Nothing in the camera calls it yet: the cloud's
// hot-configuration message is only logged.
#include "zel_media_hot_config.h"

#include "zel_control/hot_config/zel_hot_config.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "ZEL_APP_MEIDA";

} // namespace

extern "C" {

zel_media_encoder_config_t init_config;

const zel_media_res_row_t res_map[ZEL_MEDIA_RES_ROWS] = {
    {2, 640, 360}, {1, 1280, 720}, {0, 1920, 1080}, {3, 2304, 1296}, {4, 2560, 1440},
};

// Index 3 lies above index 4: the table is as the cloud numbers its bitrates.
const zel_media_bps_row_t bps_map[ZEL_MEDIA_BPS_ROWS] = {
    {0, 256000},   {1, 384000},   {2, 512000},   {3, 900000},   {4, 700000},    {5, 1000000},
    {6, 1200000},  {7, 1400000},  {8, 1900000},  {9, 2400000},  {10, 2900000},  {11, 4000000},
};

int hot_config_str_to_vencconfig(const char *json)
{
    zel_hot_config_t cfg{};
    if (zel_hot_config_str_to_object(&cfg, json) != 0) {
        zel_hot_config_free_osd(&cfg);
        return -1;
    }
    init_config.converted = 1;
    for (int i = 0; i < ZEL_HOT_VENC_NUM; i++) {
        const zel_hot_venc_t &in = cfg.video[i];
        zel_media_venc_config_t &out = init_config.venc[i];
        out.pt = in.pt;
        out.fps = in.fps;
        out.pf = in.pf;
        out.bps_c = in.bps_c;
        const zel_media_bps_row_t *bps = nullptr;
        for (const auto &row : bps_map)
            if (row.index == in.bps)
                bps = &row;
        if (bps)
            out.bps = bps->bps;
        else
            ZEL_LOGE(TAG, "current bitrate [%d] cannot find match bps\n", in.bps);
        const zel_media_res_row_t *res = nullptr;
        for (const auto &row : res_map)
            if (row.index == in.res)
                res = &row;
        if (res) {
            out.width = res->width;
            out.height = res->height;
        } else {
            ZEL_LOGE(TAG, "current resolution [%d] cannot find match width and height\n", in.res);
        }
    }
    zel_hot_config_free_osd(&cfg);
    return 0;
}

} // extern "C"
