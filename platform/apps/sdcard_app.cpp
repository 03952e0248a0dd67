// The SD-card app: answers the card requests of the agent bus and reports the card's state
// (sdcard_watch). The simulated card is a directory under the path root; formatting and unmounting it
// are refused, so no request reports a success it did not have.
#include "sdcard_app.h"

#include "platform_app_object.h"
#include "sdcard_watch.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *kModule = "sdcard_app";
constexpr int kKeySdcardFormat = 16;
constexpr int kKeyUnmount = 39;
constexpr int kKeySdcardCmd = 42;

int handle(int cmd, const void *params)
{
    switch (cmd) {
    case kKeySdcardFormat:
        ZEL_LOGW(kModule, "sdcard_format: the simulated card cannot be formatted");
        return -1; // acknowledged "FAIL"
    case kKeyUnmount:
    case kKeySdcardCmd:
        ZEL_LOGW(kModule, "card command %d (%d) not supported by the simulated card", cmd,
                 params ? *static_cast<const int *>(params) : 0);
        return 0;
    default:
        return 0;
    }
}

platform_app::App g_app(2, kModule, {kKeySdcardFormat, kKeyUnmount, kKeySdcardCmd}, handle);

} // namespace

app_object_t *sdcard_app_create(int)
{
    app_object_t *app = g_app.create();
    if (app)
        sdcard_watch::start([] { return g_app.fd(); });
    return app;
}
