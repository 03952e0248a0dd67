// Cloud synchronisation after start. A tick thread (first after 5 s, then every second) watches the
// bind status: a camera bound at start pulls its properties from the cloud once; a camera bound while
// running pushes its defaults once.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <mutex>
#include <thread>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace zel_rpc {

namespace {

struct Pair {
    int siid, piid;
};
// The rows asked from the cloud after start, by their internal pairs; the request carries the outward
// pairs, which the answer's elements come back with.
constexpr std::array<Pair, 14> kSyncSpec{{
    {2, 1},
    {2, 2},
    {2, 3},
    {2, 5},
    {2, 6},
    {2, 7},
    {2, 8},
    {2, 4},
    {4, 1},
    {5, 1},
    {5, 2},
    {5, 3},
    {5, 4},
    {5, 5},
}};

enum ValueKind { kInteger = 0, kString = 1, kBoolean = 2 };
struct PushDefault {
    int siid, piid;
    ValueKind kind;
};
constexpr std::array<PushDefault, 6> kPushDefaults{{
    {2, 8, kBoolean},
    {5, 1, kBoolean},
    {5, 2, kInteger},
    {5, 3, kInteger},
    {5, 4, kString},
    {5, 5, kString},
}};

struct Tick {
    std::mutex mutex;
    std::condition_variable cond;
    bool stop = false;
    std::thread thread;
    std::string first_status;
    bool pushed = false; // both at most once per process
    bool pulled = false;
};

// Kept for the life of the process, like the queue: exit with the tick running must not destroy a
// joinable thread (which ends the process with std::terminate) or the state the tick reads.
Tick &g_tick = *new Tick;
std::atomic<int32_t> g_request_id{0};
std::atomic<int32_t> g_last_pull_id{0};

int32_t next_request_id()
{
    return ++g_request_id;
}

json_object *ids_element(int siid, int piid)
{
    json_object *e = json_object_new_object();
    json_object_object_add(e, "did", json_object_new_string(device_id().c_str()));
    json_object_object_add(e, "siid", json_object_new_int(siid));
    json_object_object_add(e, "piid", json_object_new_int(piid));
    return e;
}

void pull_spec()
{
    JsonPtr request(json_object_new_object());
    const int32_t id = next_request_id();
    json_object_object_add(request.get(), "id", json_object_new_int(id));
    json_object_object_add(request.get(), "method", json_object_new_string("_sync.spec_get_prop"));
    json_object *params = json_object_new_object();
    json_object *list = json_object_new_array();
    for (const Pair &p : kSyncSpec) {
        int o_siid, o_piid;
        vexa_spec_reverse_map(p.siid, p.piid, &o_siid, &o_piid);
        json_object_array_add(list, ids_element(o_siid, o_piid));
    }
    json_object_object_add(params, "properties", list);
    json_object_object_add(request.get(), "params", params);
    const std::string text = to_text(request.get());
    // Known before the answer can arrive.
    g_last_pull_id.store(id);
    ZEL_LOGI(TAG, " pull spec : %s \n", text.c_str());
    send_text(text);
}

// The current setting of the first property row with the internal pair ("" when none).
std::string current_setting(int siid, int piid)
{
    const spec_property_row_t *row = spec_property_row(siid, piid);
    std::string value(kTextMax, '\0');
    if (row && row->key && row->key[0] && zel_api_db_get_value(row->key, value.data(), kTextMax) == 0)
        return value.c_str();
    return "";
}

void push_spec_default()
{
    JsonPtr request(json_object_new_object());
    json_object_object_add(request.get(), "id", json_object_new_int(next_request_id()));
    json_object_object_add(request.get(), "method", json_object_new_string("properties_changed"));
    json_object *list = json_object_new_array();
    for (const PushDefault &d : kPushDefaults) {
        int o_siid, o_piid;
        vexa_spec_reverse_map(d.siid, d.piid, &o_siid, &o_piid);
        json_object *e = ids_element(o_siid, o_piid);
        const std::string value = current_setting(d.siid, d.piid);
        json_object *v = d.kind == kString    ? json_object_new_string(value.c_str())
                         : d.kind == kInteger ? json_object_new_int(std::atoi(value.c_str()))
                                              : json_object_new_boolean(value != "0");
        json_object_object_add(e, "value", v);
        json_object_array_add(list, e);
    }
    json_object_object_add(request.get(), "params", list);
    const std::string text = to_text(request.get());
    ZEL_LOGI(TAG, " push default value to spec server: %s \n", text.c_str());
    send_text(text);
}

// One tick; false once the pull is done and the tick has nothing left to do.
bool tick(Tick &t)
{
    char status[16] = {};
    zel_api_db_get_value("NVM.IPC:bind_status", status, sizeof status);
    status[sizeof status - 1] = '\0';
    if (t.first_status.empty())
        t.first_status = status;
    if (status[0] == '0')
        return true;
    if (t.first_status[0] == '1') {
        if (!t.pulled) {
            t.pulled = true;
            pull_spec();
        }
        return false;
    }
    if (t.first_status[0] == '0' && status[0] == '1' && !t.pushed) {
        t.pushed = true;
        push_spec_default();
    }
    return true;
}

void tick_main()
{
    pthread_setname_np(pthread_self(), "zel_rpc_tick");
    std::unique_lock<std::mutex> lock(g_tick.mutex);
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        if (g_tick.cond.wait_until(lock, next, [] { return g_tick.stop; }))
            return;
        next += std::chrono::seconds(1);
        lock.unlock();
        const bool more = tick(g_tick);
        lock.lock();
        if (!more)
            return;
    }
}

} // namespace

int32_t last_pull_id()
{
    return g_last_pull_id.load();
}

int sync_start()
{
    std::lock_guard<std::mutex> lock(g_tick.mutex);
    g_tick.stop = false;
    g_tick.first_status.clear();
    try {
        g_tick.thread = std::thread(tick_main);
    } catch (const std::system_error &) {
        ZEL_LOGE(TAG, " timer_create error! \n");
        return -1;
    }
    return 0;
}

void sync_stop()
{
    {
        std::lock_guard<std::mutex> lock(g_tick.mutex);
        g_tick.stop = true;
    }
    g_tick.cond.notify_all();
    if (g_tick.thread.joinable())
        g_tick.thread.join();
}

} // namespace zel_rpc
