// The smart-care table: loading and replacing a schedule from its JSON text, and the one-shot
// switch-off in the stored JSON.
#include "zel_app_sdk/zel_tolk/zel_tolk_smart_care.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "zel_app_agent_client/json_verify.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace {

constexpr const char *TAG = "zel_tolk_smart_care";
// A stored value can hold as many characters as the settings database allows.
constexpr int kValueSize = 1536 + 1;
constexpr int kTimeTextSize = 128;

pthread_mutex_t g_table_mutex = PTHREAD_MUTEX_INITIALIZER;

struct JsonPut {
    void operator()(json_object *obj) const { json_object_put(obj); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

struct TableLock {
    void lock() { pthread_mutex_lock(&g_table_mutex); }
    void unlock() { pthread_mutex_unlock(&g_table_mutex); }
};

void free_slot(smart_care_clock_t *clock)
{
    *clock = smart_care_clock_t{};
    clock->clock_idx = -1;
}

void config_key(int index, char (&key)[64])
{
    snprintf(key, sizeof key, "NVM.ALARM:smart_care_config%d", index);
}

// The "clock" array of a parsed schedule text; NULL (logged) when the text or the array is missing.
json_object *clock_array(json_object *root)
{
    if (!root) {
        ZEL_LOGE(TAG, "json_tokener_parse fail");
        return nullptr;
    }
    json_object *array = nullptr;
    if (!json_object_object_get_ex(root, "clock", &array) || !json_object_is_type(array, json_type_array)) {
        ZEL_LOGE(TAG, "json_object_get_array fail");
        return nullptr;
    }
    return array;
}

// The clock of one array element; false (slot left free) without its "start" or "end".
bool parse_clock(int index, json_object *element, smart_care_clock_t *clock)
{
    const char *text = json_object_to_json_string_ext(element, JSON_C_TO_STRING_PLAIN);
    char start[kTimeTextSize] = {};
    char end[kTimeTextSize] = {};
    if (json_verify_get_string(text, "start", start, sizeof start) != 0 ||
        json_verify_get_string(text, "end", end, sizeof end) != 0)
        return false;
    sscanf(start, "%d:%d", &clock->start_hour, &clock->start_min);
    sscanf(end, "%d:%d", &clock->end_hour, &clock->end_min);
    int value = 0;
    if (json_verify_get_int(text, "repeat", &value) == 0)
        clock->repeat = value;
    value = 0;
    if (json_verify_get_int(text, "clock_idx", &value) == 0)
        clock->clock_idx = value;
    value = 0;
    if (json_verify_get_boolean(text, "enable", &value) == 0)
        clock->enable = static_cast<uint8_t>(value);
    ZEL_LOGI(TAG, "idx:%d clock.enable:%d start_buf:%s ,end_buf:%s ", index, clock->enable, start, end);
    // Compared as minutes: "8:00" to "20:00" lies within one day although "8" sorts after "2".
    const int smin = clock->start_hour * 60 + clock->start_min;
    const int emin = clock->end_hour * 60 + clock->end_min;
    _zel_tolk_set_repeat_cnt(clock->repeat, smin < emin, clock->start_repeat, clock->end_repeat);
    return true;
}

} // namespace

smart_care_config_t g_smart_care_config;

int _zel_tolk_set_repeat_cnt(int repeat, int same_day, int32_t *start_repeat, int32_t *end_repeat)
{
    if (!start_repeat || !end_repeat) {
        ZEL_LOGE(TAG, "input param error  ");
        return -1;
    }
    // Only bits 0 to 6 name days; higher bits of the phone's mask are no days at all.
    const unsigned days = static_cast<unsigned>(repeat) & 0x7fu;
    for (int i = 0; i < SMART_CARE_DAYS; ++i)
        start_repeat[i] = repeat == 0 || (days >> i & 1u) ? 1 : 0;
    for (int i = 0; i < SMART_CARE_DAYS; ++i)
        end_repeat[same_day ? i : (i + 1) % SMART_CARE_DAYS] = start_repeat[i];
    for (int i = 0; i < SMART_CARE_DAYS; ++i)
        ZEL_LOGD(TAG, "idx:%d start_repeat[%d] end_repeat[%d]", i, start_repeat[i], end_repeat[i]);
    return 0;
}

int smart_care_config_set(int index, const char *json, unsigned length)
{
    if (!json || length < strlen(json) || index < 0 || index >= SMART_CARE_SCHEDULES) {
        ZEL_LOGE(TAG, " input param error index:%d length:%u ", index, length);
        return -1;
    }
    JsonPtr root(json_tokener_parse(json));
    json_object *array = clock_array(root.get());
    if (!array)
        return -1;
    const size_t count = json_object_array_length(array);
    TableLock lock;
    std::lock_guard<TableLock> guard(lock);
    smart_care_clock_t *slots = g_smart_care_config.clock[index];
    for (int i = 0; i < SMART_CARE_CLOCKS; ++i)
        free_slot(&slots[i]);
    ZEL_LOGI(TAG, "idx:%d arr->length:%d ", index, static_cast<int>(count));
    if (count > SMART_CARE_CLOCKS)
        ZEL_LOGW(TAG, "idx:%d keeps %d clocks, %d dropped ", index, SMART_CARE_CLOCKS,
                 static_cast<int>(count - SMART_CARE_CLOCKS));
    for (size_t i = 0; i < count && i < SMART_CARE_CLOCKS; ++i) {
        smart_care_clock_t clock{};
        if (parse_clock(index, json_object_array_get_idx(array, i), &clock))
            slots[i] = clock;
    }
    return 0;
}

int smart_care_db_update_clock_switch(int index, int clock_idx)
{
    if (index < 0 || index >= SMART_CARE_SCHEDULES)
        return -1;
    char key[64];
    config_key(index, key);
    auto value = std::make_unique<char[]>(kValueSize);
    int ret = zel_api_db_get_value(key, value.get(), kValueSize);
    if (ret != 0) {
        ZEL_LOGE(TAG, "get %s value failed , ret = %d ", key, ret);
        return ret;
    }
    ZEL_LOGI(TAG, " key=%s value=%s ", key, value.get());
    JsonPtr root(json_tokener_parse(value.get()));
    json_object *array = clock_array(root.get());
    if (!array)
        return -1;
    const size_t count = json_object_array_length(array);
    ZEL_LOGI(TAG, " arr->length = %d clock_idx:%d ", static_cast<int>(count), clock_idx);
    bool changed = false;
    for (size_t i = 0; i < count; ++i) {
        json_object *element = json_object_array_get_idx(array, i);
        json_object *id = nullptr;
        if (!json_object_object_get_ex(element, "clock_idx", &id) || !json_object_is_type(id, json_type_int) ||
            json_object_get_int(id) != clock_idx)
            continue;
        json_object_object_add(element, "enable", json_object_new_boolean(0));
        changed = true;
    }
    if (!changed)
        return 0;
    const char *text = json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PLAIN);
    ZEL_LOGI(TAG, " the key = %s value=%s ", key, text);
    ret = zel_api_db_set_value(key, text, static_cast<int>(strlen(text)), 0);
    if (ret != 0)
        ZEL_LOGE(TAG, "set %s value failed , ret = %d ", key, ret);
    return ret;
}

int set_smart_care_clock_init(void)
{
    {
        TableLock lock;
        std::lock_guard<TableLock> guard(lock);
        for (auto &schedule : g_smart_care_config.clock)
            for (smart_care_clock_t &clock : schedule)
                free_slot(&clock);
        g_smart_care_config.lock = &g_table_mutex;
    }
    auto value = std::make_unique<char[]>(kValueSize);
    for (int index = 0; index < SMART_CARE_SCHEDULES; ++index) {
        char key[64];
        config_key(index, key);
        memset(value.get(), 0, kValueSize);
        int ret = zel_api_db_get_value(key, value.get(), kValueSize);
        if (ret != 0) {
            ZEL_LOGE(TAG, " get %s value failed , ret = %d ", key, ret);
            continue;
        }
        ret = smart_care_config_set(index, value.get(), static_cast<unsigned>(strlen(value.get())));
        if (ret != 0)
            ZEL_LOGE(TAG, " smart_care_config_set failed, ret = %d ", ret);
    }
    return 0;
}
