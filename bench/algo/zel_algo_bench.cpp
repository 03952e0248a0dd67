// One detection record through zel_algo_trigger_event_send to the push double, for motion (code 2)
// and a person (code 5, which also arms the IR-cut machine's colour phase), next to a bare chain of
// the same depth in the same run: a callback through a pointer, one function, the double. Goal:
// motion within 4x of the bare chain, with no lock, allocation or log line of its own per event.
#include <benchmark/benchmark.h>

#include "sdk_media_frame.h"
#include "sdk_porting_double.h"
#include "zel_algo.h"
#include "zel_control/log/zel_log.h"

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

__attribute__((noinline)) void bare_forward(int32_t code)
{
    sdk_porting_event_push(code == 2 ? 0 : 1);
}

__attribute__((noinline)) void bare_callback(const zel_algo_event_t *event)
{
    bare_forward(event->code);
}

void run(benchmark::State &state, zel_algo_event_cb_t cb, int32_t code)
{
    // Info level, as the camera logs: the person's debug lines are not written.
    zel_log_set_logger_level(zel_log_get_default_logger(), ZEL_LOG_INFO);
    zel_algo_event_cb_t volatile callback = cb;
    zel_algo_event_t event{};
    event.code = code;
    portdouble::clear();
    for (auto _ : state)
        callback(&event);
    state.SetItemsProcessed(state.iterations());
}

void BM_BareChainMotion(benchmark::State &state)
{
    run(state, bare_callback, 2);
}

void BM_AlgoMotion(benchmark::State &state)
{
    run(state, zel_algo_trigger_event_send, 2);
}

void BM_BareChainPerson(benchmark::State &state)
{
    run(state, bare_callback, 5);
}

void BM_AlgoPerson(benchmark::State &state)
{
    run(state, zel_algo_trigger_event_send, 5);
}

} // namespace

BENCHMARK(BM_BareChainMotion);
BENCHMARK(BM_AlgoMotion);
BENCHMARK(BM_BareChainPerson);
BENCHMARK(BM_AlgoPerson);
