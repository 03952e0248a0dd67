// What zelmar_app's start-up defines and the app-client library uses, for the client test programs.
#include "zel_app_sdk/zel_tolk/zel_tolk_timer_test.h"

extern "C" {
int gs_zelmar_app_running = 1;
}

// The business timer thread would start the clock-dependent services 5 s into every test; the tests
// of the timer drive its tick themselves or switch the thread back on.
namespace {
[[maybe_unused]] const int g_timer_off = (zel_tolk_timer_test_enable_thread(0), 0);
} // namespace
