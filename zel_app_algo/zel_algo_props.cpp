// The alarm settings: motion, people, voice and key-area texts from the phone app applied to the
// detection library and the board, and stored back when they differ; the IR-cut settings applied
// each time the IR-cut worker starts.
#include "zel_algo.h"
#include "zel_algo_motion.h"
#include "zel_algo_state.h"
#include "zel_ircut.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

using algo::kTag;

algo_db_row_t algo_db_get[4] = {
    {"NVM.ALGO:motion_prop", zel_algo_set_motion_prop},
    {"NVM.ALGO:human_prop", zel_algo_set_human_prop},
    {"NVM.ALGO:voice_prop", zel_algo_set_voice_prop},
    {"NVM.ALARM:smart_care_area", zel_algo_set_smart_care_prop},
};

namespace {

constexpr size_t kDbValueMax = 1536;

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

struct DetectionProp {
    const char *key;
    size_t stored_size;
    int sensitivity_param;
    int region_param;
    const char *empty_text;
    const char *not_json_text;
};

const DetectionProp kMotion = {"NVM.ALGO:motion_prop", 256, ZEL_ALGO_PARAM_MOTION_SENSITIVITY,
                               ZEL_ALGO_PARAM_MOTION_REGION, "set motion prop value is empty \n",
                               " set motion prop value is not json format"};
const DetectionProp kHuman = {"NVM.ALGO:human_prop", 256, ZEL_ALGO_PARAM_HUMAN_SENSITIVITY,
                              ZEL_ALGO_PARAM_HUMAN_REGION, "set human prop value is empty \n",
                              " set human prop value is not json format"};

// The text as a JSON object, or null (not JSON, or JSON of another kind).
Json parse_object(const char *text)
{
    Json root(json_tokener_parse(text));
    if (root && !json_object_is_type(root.get(), json_type_object))
        root.reset();
    return root;
}

// The setting's text as a JSON object; null (logged: `empty_text` as an error, `not_json_text` as
// information) for a missing text or one that is no JSON object.
Json parse_setting(const char *text, const char *empty_text, const char *not_json_text)
{
    if (!text) {
        ZEL_LOGE(kTag, "%s", empty_text);
        return nullptr;
    }
    Json root = parse_object(text);
    if (!root)
        ZEL_LOGI(kTag, "%s", not_json_text);
    return root;
}

bool int_member(json_object *obj, const char *name, int32_t *out)
{
    json_object *m = nullptr;
    if (!json_object_object_get_ex(obj, name, &m) || !json_object_is_type(m, json_type_int))
        return false;
    *out = json_object_get_int(m);
    return true;
}

// Writes `text` under `key` (saved at once) unless the stored text begins with it.
void store_unless_same(const char *key, const char *text, size_t stored_size)
{
    std::vector<char> stored(stored_size, '\0');
    const size_t len = strlen(text);
    if (zel_api_db_get_value(key, stored.data(), static_cast<int>(stored.size())) == 0 &&
        strncmp(stored.data(), text, len) == 0)
        return;
    const int ret = zel_api_db_set_value(key, text, static_cast<int>(len), 1);
    if (ret != 0)
        ZEL_LOGE(kTag, "save %s failed, ret = %d \n", key, ret);
}

int set_detection_prop(const DetectionProp &prop, const char *text)
{
    Json root = parse_setting(text, prop.empty_text, prop.not_json_text);
    if (!root)
        return -1;
    int32_t sensitivity = 0;
    if (int_member(root.get(), "sensitive", &sensitivity))
        zel_api_algo_set_param(prop.sensitivity_param, &sensitivity, sizeof sensitivity);
    json_object *region = nullptr;
    if (json_object_object_get_ex(root.get(), "region", &region)) {
        const char *json = json_object_to_json_string_ext(region, JSON_C_TO_STRING_PLAIN);
        zel_api_algo_set_param(prop.region_param, json, static_cast<int>(strlen(json)));
    }
    store_unless_same(prop.key, text, prop.stored_size);
    return 0;
}

} // namespace

int zel_algo_set_motion_prop(const char *text)
{
    return set_detection_prop(kMotion, text);
}

int zel_algo_set_human_prop(const char *text)
{
    return set_detection_prop(kHuman, text);
}

int zel_algo_set_voice_prop(const char *text)
{
    Json root = parse_setting(text, "SET_VOICE_CONFIG_FROM_APP value is empty \n",
                              "SET_VOICE_CONFIG_FROM_APP value is not json format");
    if (!root)
        return -1;
    int32_t sensitivity = 0;
    int_member(root.get(), "sensitive", &sensitivity);
    store_unless_same("NVM.ALGO:voice_prop", text, 128);
    ZEL_LOGI(kTag, "set voice prop, lsd_sensity = %d\n", sensitivity);
    set_soc_lsd_threshold(sensitivity);
    return 0;
}

int zel_algo_set_smart_care_prop(const char *text)
{
    if (!text) {
        ZEL_LOGE(kTag, " param is null\n");
        return -1;
    }
    Json root(json_tokener_parse(text));
    if (!root) {
        ZEL_LOGE(kTag, " json_tokener_parse fail \n");
        return -1;
    }
    if (!json_object_is_type(root.get(), json_type_array)) {
        ZEL_LOGE(kTag, " json_object_get_array fail \n");
        return -1;
    }
    float area[4] = {0, 0, 0, 0};
    const size_t n = json_object_array_length(root.get());
    for (size_t i = 0; i < n; ++i) {
        json_object *element = json_object_array_get_idx(root.get(), i);
        json_object *box = nullptr;
        if (!json_object_is_type(element, json_type_object) || !json_object_object_get_ex(element, "area", &box) ||
            !json_object_is_type(box, json_type_string))
            continue;
        char box_buf[64];
        snprintf(box_buf, sizeof box_buf, "%s", json_object_get_string(box));
        ZEL_LOGI(kTag, " area box_buf:%s \n", box_buf);
        float parsed[4] = {0, 0, 0, 0};
        sscanf(box_buf, "[%f,%f],[%f,%f]", &parsed[0], &parsed[1], &parsed[2], &parsed[3]);
        memcpy(area, parsed, sizeof area);
    }
    zel_api_algo_set_param(ZEL_ALGO_PARAM_KEY_AREA, area, sizeof area);
    return 0;
}

int zel_algo_set_hack_alarm_info(const char *text)
{
    Json root = parse_setting(text, "set hack prop value is empty \n", " set hack prop value is not json format");
    if (!root)
        return -1;
    int32_t light_dur = 0;
    if (int_member(root.get(), "light_dur", &light_dur))
        set_hack_light_info(light_dur);
    return 0;
}

int zel_algo_db_get_init(void)
{
    int ret = 0;
    std::vector<char> value(kDbValueMax);
    for (const algo_db_row_t &row : algo_db_get) {
        if (!row.setter)
            continue;
        std::fill(value.begin(), value.end(), '\0');
        ret = zel_api_db_get_value(row.key, value.data(), static_cast<int>(value.size()));
        if (ret != 0) {
            ZEL_LOGE(kTag, "get %s value failed , ret = %d \n", row.key, ret);
            continue;
        }
        row.setter(value.data());
    }
    return ret;
}

int sync_algo_night_mode(const char *text)
{
    ZEL_LOGI(kTag, "[%s] ircut_mode = %s\n", __func__, text ? text : "");
    int mode = 0;
    if (!text || !*text)
        ZEL_LOGI(kTag, "[%s] get faild: set ircut mode auto\n", __func__);
    else
        mode = text[0] - '0';
    return ircut_mode_switch(mode);
}

int sync_algo_fullcolor(const char *text)
{
    ZEL_LOGI(kTag, "[%s] full_color = %s\n", __func__, text ? text : "");
    if (!text || !*text) {
        ZEL_LOGI(kTag, "[%s] get faild: set fullcolor on\n", __func__);
        return fullcolor_mode_config(1);
    }
    if (strcmp(text, "1") == 0 || strcmp(text, "0") == 0)
        return fullcolor_mode_config(text[0] - '0');
    ZEL_LOGE(kTag, "[%s] not support full_color = %s\n", __func__, text);
    return -1;
}

int sync_algo_track_switch(const char *text)
{
    ZEL_LOGI(kTag, "[%s] track_mode = %s\n", __func__, text ? text : "");
    int on = 0;
    if (!text || !*text) {
        ZEL_LOGI(kTag, "[%s] get faild: set track mode off\n", __func__);
    } else if (strcmp(text, "1") == 0 || strcmp(text, "0") == 0) {
        on = text[0] - '0';
    } else {
        ZEL_LOGE(kTag, "[%s] not support track_mode = %s\n", __func__, text);
        return -1;
    }
    return motion_track_mode_config(on);
}
