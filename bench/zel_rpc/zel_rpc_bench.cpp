// Property requests per second through the daemon simulator, the RPC link, the hook, the engine's queue
// and worker and the table: gets of the pan-tilt constant and of a settings row, and sets alternating
// two values of a row whose change is written, reported and sent to an app on the agent bus (a Python
// peer). Next to them in the same run, the raw link round trip: an inner method that a bus module
// answers at once, so the difference is what the engine and the row add. The simulator times each
// batch itself (each request goes out after the reply to the one before; a set's handler runs after
// its reply, and the next request waits behind it on the one worker).
#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent_server.h"
#include "app_sdk_porting/sdk_porting.h"
#include "common/ipc/ko_message.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "daemon_sim_client.h"
#include "ko_sdk_test_param.h"
#include "rpc_link_probe.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_control/log/zel_log.h"
#include "zel_db_test_factory.h"
#include "zel_db/zel_db.h"
#include "zel_test_support.h"
#include "zelmar/zel_path.h"

namespace {

constexpr int kBatch = 200;
// Requests the daemon sends in one write (five times the queue).
constexpr int kBurst = 50;
constexpr uint32_t kEchoUid = 12;
constexpr const char *kEchoMethod = "bench.echo";
constexpr const char *kRawRequest = "{\"id\":0,\"method\":\"bench.echo\",\"params\":{}}";
constexpr const char *kGetRequest = "{\"id\":0,\"method\":\"get_properties\",\"params\":[{\"siid\":2,\"piid\":2}]}";
constexpr const char *kSettingsGetRequest =
    "{\"id\":0,\"method\":\"get_properties\",\"params\":[{\"siid\":2,\"piid\":1}]}";
// The watermark: a change is sent as agent message 26, written and reported.
const std::vector<std::string> kSetRequests = {
    "{\"id\":0,\"method\":\"set_properties\",\"params\":[{\"siid\":2,\"piid\":5,\"value\":true}]}",
    "{\"id\":0,\"method\":\"set_properties\",\"params\":[{\"siid\":2,\"piid\":5,\"value\":false}]}"};

// Answers every "bench.echo" request at once, as an SDK module would.
void on_echo(const ko_message_arg *arg)
{
    json_object *request = json_tokener_parse(static_cast<const char *>(arg->param));
    json_object *id = nullptr;
    if (request && json_object_object_get_ex(request, "id", &id)) {
        const std::string reply = "{\"id\":" + std::to_string(json_object_get_int(id)) + ",\"result\":\"ok\"}";
        ko_message_send(kEchoUid, KO_UID_RPC, "rpc.rpc", reply.c_str(), static_cast<uint32_t>(reply.size()),
                        KO_MSG_MODE_ASYNC);
    }
    json_object_put(request);
}

struct Setup {
    zeltest::TempRoot root;
    std::unique_ptr<zeltest::DaemonSim> sim;
    std::unique_ptr<zeltest::FakeFactory> factory;
    std::unique_ptr<zeltest::ChildProcess> agent_peer;
    bool ok = false;
    double get_per_s = 0, raw_per_s = 0, settings_get_per_s = 0, set_per_s = 0;
    double raw_burst_ms = 0, get_burst_ms = 0;
    long get_burst_busy = 0;

    Setup()
    {
        ko_log_param quiet{};
        quiet.level = KO_LOG_FATAL;
        quiet.output = KO_LOG_OUT_CONSOLE;
        ko_log_init(&quiet);
        root.write_file("/mnt/data/operator/zel_log.ini",
                        "[console]\ntype = stderr\nlevel = error\n\n"
                        "[main]\nappender = console\nlevel = error\ndefault = true\n");
        zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str());
        sim = std::make_unique<zeltest::DaemonSim>(
            root, std::vector<std::string>{"--did", "424242", "--time", "1700000000", "--status", "cloud_connected"},
            true);
        setenv("ZELMAR_DAEMON_PORT", std::to_string(sim->port()).c_str(), 1);
        factory = std::make_unique<zeltest::FakeFactory>(root, zeltest::factory_image({{"model", "ZT-CAM1"}}));
        if (zel_api_db_init() != 0)
            return;
        setenv("ZELMAR_AGENT_SOCK", ("zelbench_rpc_" + std::to_string(getpid())).c_str(), 1);
        if (agent_server_init() != 0 || _sdk_porting_agent_client_init() != 0)
            return;
        agent_peer = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("agent_send.py", {getenv("ZELMAR_AGENT_SOCK"), "--wait", "600", "--register",
                                                   "set_logo_watermark_from_app"}),
            std::vector<std::string>{}, root.path("/tmp/agent_peer.log"));
        const ko_ipc_sdk_param param = zeltest::sdk_test_param();
        if (ko_ipc_sdk_init(&param) != 0 || !zeltest::wait_rpc_link_ready(*sim))
            return;
        char did[32];
        if (!zeltest::wait_until([&] { return ko_ipc_query_did(did, sizeof did) == 0; }, std::chrono::seconds(10)))
            return;
        if (zel_rpc_init() != 0)
            return;
        ko_message_listen(kEchoUid, kEchoMethod, on_echo, nullptr);
        ko_message_send(kEchoUid, KO_UID_RPC, "rpc.register", kEchoMethod, std::strlen(kEchoMethod), KO_MSG_MODE_SYNC);
        ok = true;
    }
    ~Setup()
    {
        if (get_per_s > 0 && raw_per_s > 0) {
            std::printf("property gets / raw link round trips: %.0f / %.0f per s = %.2f (goal >= 0.80)\n", get_per_s,
                        raw_per_s, get_per_s / raw_per_s);
            std::printf("settings-row gets / raw: %.0f per s = %.2f (goal >= 0.90)\n", settings_get_per_s,
                        settings_get_per_s / raw_per_s);
            std::printf("settings-row sets / raw: %.0f per s = %.2f (goal >= 0.50)\n", set_per_s,
                        set_per_s / raw_per_s);
            interleaved_ratio();
        }
        if (raw_burst_ms > 0 && get_burst_ms > 0)
            std::printf("burst of %d requests in one write, all answered: property gets %.1f ms (%.1f busy "
                        "each), raw link %.1f ms\n",
                        kBurst, get_burst_ms, static_cast<double>(get_burst_busy), raw_burst_ms);
        zel_rpc_deinit();
        agent_peer.reset();
        sdk_porting_agent_client_deinit();
        ko_ipc_sdk_deinit();
        zel_api_db_deinit();
    }

    // The machine is shared: batches of both kinds taken in turn see the same load. The median of
    // their ratios is the fairer figure.
    void interleaved_ratio()
    {
        std::vector<double> gets, settings_gets, sets;
        for (int i = 0; i < 15; ++i) {
            const double raw_ms = loop({kRawRequest}, kBatch), get_ms = loop({kGetRequest}, kBatch),
                         settings_ms = loop({kSettingsGetRequest}, kBatch), set_ms = loop(kSetRequests, kBatch);
            if (raw_ms > 0 && get_ms > 0 && settings_ms > 0 && set_ms > 0) {
                gets.push_back(raw_ms / get_ms);
                settings_gets.push_back(raw_ms / settings_ms);
                sets.push_back(raw_ms / set_ms);
            }
        }
        if (gets.empty())
            return;
        std::printf("interleaved batches, median ratios: gets %.2f (goal >= 0.80), settings-row gets %.2f "
                    "(goal >= 0.90), sets %.2f (goal >= 0.50)\n",
                    median(gets), median(settings_gets), median(sets));
    }
    static double median(std::vector<double> v)
    {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    // Milliseconds for `count` requests, each sent after the reply to the one before; -1 on failure.
    // The requests are taken in turn.
    double loop(const std::vector<std::string> &requests, int count)
    {
        zeltest::Json cmd(json_object_new_object());
        json_object_object_add(cmd.get(), "cmd", json_object_new_string("loop"));
        json_object_object_add(cmd.get(), "link", json_object_new_string("rpc"));
        json_object_object_add(cmd.get(), "count", json_object_new_int(count));
        json_object *texts = json_object_new_array();
        for (const std::string &r : requests)
            json_object_array_add(texts, json_object_new_string(r.c_str()));
        json_object_object_add(cmd.get(), "texts", texts);
        zeltest::Json answer = sim->command(json_object_to_json_string_ext(cmd.get(), JSON_C_TO_STRING_PLAIN));
        json_object *elapsed = zeltest::member(answer.get(), "elapsed_ms");
        return elapsed ? json_object_get_double(elapsed) : -1;
    }
};

// Milliseconds until every request of one burst of `count` in a single write has its reply (a busy
// error counts); -1 when some never get one. `errors` gets the number of error replies.
double burst(Setup &s, const char *request, int count, int *errors)
{
    zeltest::Json cmd(json_object_new_object());
    json_object_object_add(cmd.get(), "cmd", json_object_new_string("burst"));
    json_object_object_add(cmd.get(), "link", json_object_new_string("rpc"));
    json_object_object_add(cmd.get(), "count", json_object_new_int(count));
    json_object_object_add(cmd.get(), "text", json_object_new_string(request));
    zeltest::Json answer = s.sim->command(json_object_to_json_string_ext(cmd.get(), JSON_C_TO_STRING_PLAIN));
    json_object *elapsed = zeltest::member(answer.get(), "elapsed_ms");
    *errors = json_object_get_int(zeltest::member(answer.get(), "errors"));
    return elapsed ? json_object_get_double(elapsed) : -1;
}

Setup &setup()
{
    static Setup instance;
    return instance;
}

void run_batches(benchmark::State &state, const std::vector<std::string> &requests, double *per_s)
{
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError("engine or link did not start");
        return;
    }
    double total_ms = 0;
    for (auto _ : state) {
        const double ms = s.loop(requests, kBatch);
        if (ms < 0) {
            state.SkipWithError("a reply did not come");
            return;
        }
        total_ms += ms;
        state.SetIterationTime(ms / 1000.0);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    *per_s = total_ms > 0 ? state.iterations() * kBatch * 1000.0 / total_ms : 0;
}

// Baseline: the same simulator and link, answered by a bus module without the engine.
void BM_RawLinkRoundTrip(benchmark::State &state)
{
    run_batches(state, {kRawRequest}, &setup().raw_per_s);
}
BENCHMARK(BM_RawLinkRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A burst five times the engine's queue: the time until every request has an answer, busy or not,
// against the same burst answered by a bus module without the engine.
void run_burst(benchmark::State &state, const char *request, double *ms_out, long *busy_out)
{
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError("engine or link did not start");
        return;
    }
    double total_ms = 0;
    long busy = 0;
    for (auto _ : state) {
        int errors = 0;
        const double ms = burst(s, request, kBurst, &errors);
        if (ms < 0) {
            state.SkipWithError("a request of the burst got no reply");
            return;
        }
        total_ms += ms;
        busy += errors;
        state.SetIterationTime(ms / 1000.0);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["busy"] = benchmark::Counter(static_cast<double>(busy), benchmark::Counter::kAvgIterations);
    *ms_out = total_ms / static_cast<double>(state.iterations());
    if (busy_out)
        *busy_out = busy / static_cast<long>(state.iterations());
}

void BM_RawLinkBurst(benchmark::State &state)
{
    run_burst(state, kRawRequest, &setup().raw_burst_ms, nullptr);
}
BENCHMARK(BM_RawLinkBurst)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_PropertyGetBurst(benchmark::State &state)
{
    run_burst(state, kGetRequest, &setup().get_burst_ms, &setup().get_burst_busy);
}
BENCHMARK(BM_PropertyGetBurst)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_PropertyGet(benchmark::State &state)
{
    run_batches(state, {kGetRequest}, &setup().get_per_s);
}
BENCHMARK(BM_PropertyGet)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_SettingsRowGet(benchmark::State &state)
{
    run_batches(state, {kSettingsGetRequest}, &setup().settings_get_per_s);
}
BENCHMARK(BM_SettingsRowGet)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_SettingsRowSetAlternating(benchmark::State &state)
{
    run_batches(state, kSetRequests, &setup().set_per_s);
}
BENCHMARK(BM_SettingsRowSetAlternating)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace
