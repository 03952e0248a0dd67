// The running client asked as the phone would: the device-daemon simulator sends the requests down the
// RPC link, a Python agent peer receives the device messages, and the settings are read back.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "app/cloud/ko_cloud_test.h"
#include "app/record/ko_local_storage.h"
#include "app/record/ko_local_storage_test.h"
#include "common/utils/ko_time_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer_test.h"
#include "zel_client_agent_listener.h"

namespace clienttest {

inline const std::vector<std::string> kRowMethods = {
    "set_dev_status",         "set_human_config_from_app", "set_flip_config_from_app", "set_speaker_vol",
    "set_night_mode",         "set_logo_watermark_from_app", "set_track_switch_from_app", "set_wdr_config_from_app",
    "set_full_color_from_app", "set_ldc_cmd",               "set_detection_sensi_cmd",  "set_sdcard_sejected",
    "sdcard_format",          "set_sdcard_unmount_cmd"};

inline std::string stored(const char *key)
{
    char v[2048] = {};
    return zel_api_db_get_value(key, v, sizeof v) == 0 ? v : "<absent>";
}

inline void put(const char *key, const std::string &value)
{
    ASSERT_EQ(zel_api_db_set_value(key, value.c_str(), static_cast<int>(value.size()), 0), 0) << key;
}

inline bool same(json_object *a, const std::string &b)
{
    Json want = zeltest::parse_json(b);
    return a && want && json_object_equal(a, want.get());
}

// Element `i` of an array; null for anything else (json-c asserts on a non-array).
inline json_object *at(json_object *array, size_t i)
{
    return array && json_object_is_type(array, json_type_array) && i < json_object_array_length(array)
               ? json_object_array_get_idx(array, i)
               : nullptr;
}

inline std::string text_of(json_object *o)
{
    return o ? json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN) : "(null)";
}

class Rows : public ClientTest {
protected:
    explicit Rows(zeltest::FactoryEntries rom = {}) : ClientTest(std::move(rom)) {}
    void SetUp() override
    {
        ClientTest::SetUp();
        // The services the rows drive (recorder, cloud alarm record) are started by the test itself.
        zel_tolk_timer_test_enable_thread(0);
        ko_local_storage_set_manual(1);
        ASSERT_EQ(zel_api_peripheral_init(), 0);
        before_client();
        ASSERT_NE(client_app_create(0), nullptr);
        wait_links();
        ASSERT_TRUE(zeltest::wait_until([] { return zel_rpc_ready() == 1; }, 15s));
        listener_ = std::make_unique<AgentListener>(root(), kRowMethods, 180);
    }
    void TearDown() override
    {
        ko_time_set_tick_source(nullptr);
        ko_time_set_wall_source(nullptr);
        listener_.reset();
        ko_cloud_deinit();
        ko_local_storage_deinit_v2();
        ClientTest::TearDown();
        zel_tolk_timer_test_enable_thread(1);
        zel_tolk_timer_test_reset();
    }

    // Settings and simulator scripts the client must find at its start.
    virtual void before_client() {}

    // The objects on the link from `since` up to (without) the reply of request `id`; false when it
    // does not come.
    bool received_until(int since, int id, std::vector<Json> &out)
    {
        return zeltest::wait_until(
            [&] {
                out.clear();
                Json got = sim_->command(R"({"cmd":"received","link":"rpc","since":)" + std::to_string(since) + "}");
                json_object *objects = member(got.get(), "objects");
                for (size_t i = 0; objects && i < json_object_array_length(objects); ++i) {
                    json_object *o = at(objects, i);
                    out.push_back(zeltest::parse_json(json_object_to_json_string(o)));
                    json_object *oid = member(o, "id");
                    if (!member(o, "method") && oid && json_object_get_int(oid) == id)
                        return true;
                }
                return false;
            },
            10s);
    }
    // Sends request `id` as the daemon and, once it is answered, a get of nothing as a mark: the worker
    // serves one request at a time, so what came before the mark's reply is all the request caused.
    std::vector<Json> exchange(const std::string &text, int id)
    {
        const int since = sim_->received_count("rpc");
        std::vector<Json> out;
        sim_->send("rpc", text);
        EXPECT_TRUE(received_until(since, id, out)) << text;
        const int mark = ++mark_id_;
        sim_->send("rpc", R"({"id":)" + std::to_string(mark) + R"(,"method":"get_properties","params":[]})");
        EXPECT_TRUE(received_until(since, mark, out));
        if (!out.empty())
            out.pop_back();
        return out;
    }
    // The reply of request `id` among `objects`.
    static json_object *reply(const std::vector<Json> &objects, int id)
    {
        for (const Json &o : objects)
            if (!member(o.get(), "method") && json_object_get_int(member(o.get(), "id")) == id)
                return o.get();
        return nullptr;
    }
    // The elements of the "properties_changed" reports among `objects`.
    static std::vector<std::string> reports(const std::vector<Json> &objects)
    {
        std::vector<std::string> out;
        for (const Json &o : objects) {
            json_object *m = member(o.get(), "method");
            if (m && std::string(json_object_get_string(m)) == "properties_changed") {
                json_object *e = at(member(o.get(), "params"), 0);
                json_object_object_del(e, "did");
                out.push_back(text_of(e));
            }
        }
        return out;
    }
    json_object *get_one(int siid, int piid, std::vector<Json> &keep)
    {
        const int id = ++request_id_;
        keep = exchange(R"({"id":)" + std::to_string(id) + R"(,"method":"get_properties","params":[{"siid":)" +
                            std::to_string(siid) + R"(,"piid":)" + std::to_string(piid) + "}]}",
                        id);
        return at(member(reply(keep, id), "result"), 0);
    }
    Json value_of(int siid, int piid)
    {
        std::vector<Json> keep;
        json_object *e = get_one(siid, piid, keep);
        json_object *v = member(e, "value");
        return v ? zeltest::parse_json(json_object_to_json_string(v)) : Json();
    }
    // The reports of a set whose reply element carries `code`.
    std::vector<std::string> set(int siid, int piid, const std::string &value_json, int code = 0)
    {
        const int id = ++request_id_;
        std::vector<Json> got = exchange(R"({"id":)" + std::to_string(id) +
                                         R"(,"method":"set_properties","params":[{"siid":)" + std::to_string(siid) +
                                         R"(,"piid":)" + std::to_string(piid) + R"(,"value":)" + value_json + "}]}",
                                         id);
        EXPECT_TRUE(same(at(member(reply(got, id), "result"), 0),
                         R"({"did":"424242","siid":)" + std::to_string(siid) + R"(,"piid":)" + std::to_string(piid) +
                             R"(,"code":)" + std::to_string(code) + "}"));
        return reports(got);
    }
    static std::string report(int siid, int piid, const std::string &value_json)
    {
        return text_of(zeltest::parse_json(R"({"siid":)" + std::to_string(siid) + R"(,"piid":)" +
                                           std::to_string(piid) + R"(,"value":)" + value_json + "}")
                           .get());
    }
    std::string last_param(const std::string &method, size_t count)
    {
        const std::vector<std::string> got = listener_->params_of(method, count);
        return got.size() >= count ? got[count - 1] : "";
    }
    size_t param_count(const std::string &method) { return listener_->params_of(method, 0).size(); }

    std::unique_ptr<AgentListener> listener_;
    int request_id_ = 100;
    int mark_id_ = 90000;
};

} // namespace clienttest
