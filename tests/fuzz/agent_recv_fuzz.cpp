// Feeds one agent-bus packet to a module's receive handler over a socket pair: the dispatch of
// every method row to a handler, the acknowledgements, and the settling of pending requests.
#include "zel_app_agent_client/agent_client.h"
#include "zel_app_agent_client/agent_wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

int g_pair[2] = {-1, -1};

int handler(int cmd, const void *params)
{
    if (!params)
        abort();
    const request_api_t *row = nullptr;
    for (const request_api_t &r : request_api_all)
        if (static_cast<uint8_t>(r.cmd) == cmd)
            row = &r;
    if (!row)
        abort();
    if (row->kind == AGENT_PARAMS_TEXT)
        return static_cast<int>(std::strlen(static_cast<const char *>(params)) % 2);
    if (row->kind == AGENT_PARAMS_WIFI) {
        const auto *wifi = static_cast<const agent_wifi_params_t *>(params);
        if (!memchr(wifi->ssid, '\0', sizeof wifi->ssid) || !memchr(wifi->passwd, '\0', sizeof wifi->passwd))
            abort();
    }
    return 0;
}

int settled(int, void *, void *)
{
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, g_pair) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > static_cast<size_t>(ZEL_AGENT_PACKET_MAX))
        return -1;
    // A few requests of our own, so that replies in the packet find something to settle (ids 1, 2...).
    for (int i = 0; i < 3; ++i)
        send_request(request_api_all[i].method, nullptr, i, 0, settled, nullptr, g_pair[0]);
    char buf[ZEL_AGENT_PACKET_MAX];
    while (recv(g_pair[1], buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    if (send(g_pair[1], data, size, MSG_DONTWAIT) != static_cast<ssize_t>(size))
        abort();
    message_recv_handler(g_pair[0], handler);
    while (recv(g_pair[1], buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    requests_settle_fd(g_pair[0]);
    return 0;
}
