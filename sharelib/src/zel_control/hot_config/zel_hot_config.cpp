// Hot configuration texts on json-c.
#include "zel_control/hot_config/zel_hot_config.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "HOT_CONFIG_CORE";
constexpr int kPlain = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;
constexpr const char *kModules[] = {"video", "audio", "osd"};
constexpr const char *kRecordModules[] = {"record"};

struct JsonPut {
    void operator()(json_object *obj) const { json_object_put(obj); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// The text parsed as a JSON object, or null.
JsonPtr parse_object(const char *text)
{
    JsonPtr obj(json_tokener_parse(text));
    if (obj && !json_object_is_type(obj.get(), json_type_object))
        obj.reset();
    return obj;
}

json_object *member(json_object *obj, const char *key)
{
    json_object *m = nullptr;
    return obj && json_object_is_type(obj, json_type_object) && json_object_object_get_ex(obj, key, &m) ? m : nullptr;
}

void read_int(json_object *obj, const char *key, int32_t *out)
{
    if (json_object *m = member(obj, key))
        *out = json_object_get_int(m);
}

// The members of an array, or -1 when `value` is not an array.
int array_length(json_object *value)
{
    return json_object_is_type(value, json_type_array) ? static_cast<int>(json_object_array_length(value)) : -1;
}

int read_video(zel_hot_config_t *out, json_object *video)
{
    ZEL_LOGI(TAG, "video enter");
    const int n = array_length(video);
    if (n > ZEL_HOT_VENC_NUM || n < 0) {
        ZEL_LOGE(TAG, "HotConfig video venc num [%d] is large than [%d]", n, ZEL_HOT_VENC_NUM);
        return -1;
    }
    for (int i = 0; i < n; i++) {
        json_object *entry = json_object_array_get_idx(video, i);
        zel_hot_venc_t *v = &out->video[i];
        read_int(entry, "res", &v->res);
        read_int(entry, "bps", &v->bps);
        read_int(entry, "fps", &v->fps);
        read_int(entry, "pt", &v->pt);
        read_int(entry, "bps_c", &v->bps_c);
        read_int(entry, "pf", &v->pf);
        ZEL_LOGI(TAG, "HotConfig video venc num [%d] res %d , bps %d , fps %d , pt %d bps_c:%d pf:%d ", i, v->res,
                 v->bps, v->fps, v->pt, v->bps_c, v->pf);
    }
    return 0;
}

void read_audio(zel_hot_config_t *out, json_object *audio)
{
    ZEL_LOGI(TAG, "audio enter");
    read_int(audio, "at", &out->audio.at);
    read_int(audio, "v", &out->audio.v);
    read_int(audio, "sr", &out->audio.sr);
    read_int(audio, "sb", &out->audio.sb);
}

// Stores the text in the slot, replacing (and resizing) what it held.
int store_text(zel_hot_osd_t *slot, const char *text, size_t len)
{
    char *data = static_cast<char *>(std::realloc(slot->data, len + 1));
    if (!data)
        return -1;
    std::memcpy(data, text, len + 1);
    slot->data = data;
    return 0;
}

int read_osd(zel_hot_config_t *out, json_object *osd)
{
    ZEL_LOGI(TAG, "osd enter");
    const int n = array_length(osd);
    if (n > ZEL_HOT_OSD_NUM || n < 0) {
        ZEL_LOGE(TAG, "HotConfig osd config num [%d] is large than [%d]", n, ZEL_HOT_OSD_NUM);
        return -1;
    }
    int result = 0;
    for (int i = 0; i < n; i++) {
        json_object *entry = json_object_array_get_idx(osd, i);
        zel_hot_osd_t *slot = &out->osd[i];
        read_int(entry, "x", &slot->x);
        read_int(entry, "y", &slot->y);
        json_object *data = member(entry, "data");
        if (!data)
            continue;
        const char *text = json_object_get_string(data);
        const size_t len = text ? std::strlen(text) : 0;
        if (len == 0) {
            ZEL_LOGE(TAG, "osd data len is err \n");
            continue;
        }
        if (store_text(slot, text, len) != 0) {
            ZEL_LOGE(TAG, "osd data of %zu bytes: out of memory", len);
            result = -1;
        }
    }
    return result;
}

void add_int(json_object *obj, const char *key, int32_t value)
{
    json_object_object_add(obj, key, json_object_new_int(value));
}

// Copies the text into a buffer of `size` bytes when it fits with its NUL.
bool copy_text(const char *text, char *out, size_t size)
{
    const size_t len = std::strlen(text);
    if (len >= size)
        return false;
    std::memcpy(out, text, len + 1);
    return true;
}

template <size_t N>
int add_module(char *json, unsigned size, const char *add_json, char *module_out, int module_len,
               const char *const (&modules)[N])
{
    if (!json || !add_json) {
        ZEL_LOGE(TAG, "json_str or need_add_json_str is empty \n");
        return -1;
    }
    JsonPtr target = parse_object(json);
    if (!target) {
        ZEL_LOGE(TAG, "json_str is not json format \n");
        return -1;
    }
    JsonPtr source = parse_object(add_json);
    if (!source) {
        ZEL_LOGE(TAG, "need_add_json_str is not json format, json_str is %s \n", json);
        return -1;
    }
    size_t index = 0;
    json_object *found = nullptr;
    for (; index < N; index++) {
        ZEL_LOGI(TAG, "module = %s \n", modules[index]);
        if ((found = member(source.get(), modules[index])))
            break;
    }
    if (!found) {
        ZEL_LOGE(TAG, "can not find module");
        return -1;
    }
    ZEL_LOGI(TAG, "index = %d \n", static_cast<int>(index));
    const char *name = modules[index];
    if (module_out && module_len > 0) {
        const size_t n = std::min(std::strlen(name), static_cast<size_t>(module_len - 1));
        std::memcpy(module_out, name, n);
        module_out[n] = '\0';
    }
    if (json_object_object_add(target.get(), name, json_object_get(found)) != 0) {
        ZEL_LOGE(TAG, "add obj failed \n");
        return -1;
    }
    if (!copy_text(json_object_to_json_string_ext(target.get(), kPlain), json, size)) {
        ZEL_LOGE(TAG, "add obj failed: the merged text does not fit %u bytes \n", size);
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

int zel_hot_config_str_to_object(zel_hot_config_t *out, const char *json)
{
    if (!out || !json) {
        ZEL_LOGE(TAG, "zel_hot_config_str_to_object param error");
        return -1;
    }
    JsonPtr root = parse_object(json);
    if (!root) {
        ZEL_LOGE(TAG, "zel_hot_config_str_to_object parse error");
        return -1;
    }
    json_object *ver = member(root.get(), "ver");
    if (!ver) {
        ZEL_LOGE(TAG, "zel_hot_config_str_to_object get ver error");
        return -1;
    }
    const char *text = json_object_get_string(ver);
    std::strncpy(out->ver, text ? text : "", ZEL_HOT_VER_LEN);
    if (json_object *video = member(root.get(), "video")) {
        if (read_video(out, video) != 0)
            return -1;
    }
    if (json_object *audio = member(root.get(), "audio"))
        read_audio(out, audio);
    if (json_object *osd = member(root.get(), "osd"))
        return read_osd(out, osd);
    return 0;
}

int zel_hot_config_object_to_str(char *buf, unsigned size, zel_hot_config_t cfg)
{
    if (!buf) {
        ZEL_LOGE(TAG, "buffer is too small, failed\n");
        return -1;
    }
    JsonPtr root(json_object_new_object());
    const size_t ver_len = strnlen(cfg.ver, ZEL_HOT_VER_LEN);
    json_object_object_add(root.get(), "ver", json_object_new_string_len(cfg.ver, static_cast<int>(ver_len)));

    json_object *video = json_object_new_array();
    for (const zel_hot_venc_t &v : cfg.video) {
        if (v.fps == 0)
            continue;
        json_object *entry = json_object_new_object();
        add_int(entry, "res", v.res);
        add_int(entry, "pt", v.pt);
        add_int(entry, "bps", v.bps);
        add_int(entry, "fps", v.fps);
        if (v.bps_c != 0)
            add_int(entry, "bps_c", v.bps_c);
        if (v.pf != 0)
            add_int(entry, "pf", v.pf);
        json_object_array_add(video, entry);
    }
    if (json_object_array_length(video) > 0)
        json_object_object_add(root.get(), "video", video);
    else
        json_object_put(video);

    json_object *osd = json_object_new_array();
    for (const zel_hot_osd_t &o : cfg.osd) {
        if (o.x == 0 || o.y == 0)
            continue;
        json_object *entry = json_object_new_object();
        json_object_object_add(entry, "data", json_object_new_string(o.data ? o.data : ""));
        add_int(entry, "x", o.x);
        add_int(entry, "y", o.y);
        json_object_array_add(osd, entry);
    }
    if (json_object_array_length(osd) > 0)
        json_object_object_add(root.get(), "osd", osd);
    else
        json_object_put(osd);

    if (cfg.audio.sr != 0) {
        json_object *audio = json_object_new_object();
        add_int(audio, "at", cfg.audio.at);
        add_int(audio, "v", cfg.audio.v);
        add_int(audio, "sr", cfg.audio.sr);
        add_int(audio, "sb", cfg.audio.sb);
        json_object_object_add(root.get(), "audio", audio);
    }

    const char *text = json_object_to_json_string_ext(root.get(), kPlain);
    if (!copy_text(text, buf, size)) {
        ZEL_LOGE(TAG, "buffer is too small, failed\n");
        return -1;
    }
    ZEL_LOGI(TAG, "jsonData =[%s] \n", buf);
    return 0;
}

int zel_hot_config_add_obj_to_obj(char *json, unsigned size, const char *add_json, char *module_out, int module_len)
{
    return add_module(json, size, add_json, module_out, module_len, kModules);
}

int zel_record_hot_config_add_obj_to_obj(char *json, unsigned size, const char *add_json, char *module_out,
                                         int module_len)
{
    return add_module(json, size, add_json, module_out, module_len, kRecordModules);
}

int zel_hot_config_str_get_module(const char *json, const char *module, char *out, int len)
{
    if (!json || !module || !out || len <= 0) {
        ZEL_LOGE(TAG, "json_str or out_module_json is empty \n");
        return -1;
    }
    JsonPtr root = parse_object(json);
    if (!root) {
        ZEL_LOGE(TAG, "json_str is not json format \n");
        return -1;
    }
    json_object *m = member(root.get(), module);
    if (!m)
        return -1;
    if (!copy_text(json_object_to_json_string_ext(m, kPlain), out, static_cast<size_t>(len))) {
        ZEL_LOGE(TAG, "module %s does not fit %d bytes \n", module, len);
        return -1;
    }
    return 0;
}

void zel_hot_config_free_osd(zel_hot_config_t *cfg)
{
    if (!cfg)
        return;
    for (zel_hot_osd_t &o : cfg->osd) {
        std::free(o.data);
        o.data = nullptr;
    }
}

} // extern "C"
