// Feeds ko_rpc::parse_msg texts as they come down from the daemon or up from a module, with both
// links open on socket pairs (what the link sends is read back and dropped) and a few inner
// methods registered; the bus runs with nothing listening.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/rpc/ko_rpc_internal.h"
#include "ko_sdk_fuzz_support.h"

namespace {

int g_peer[2] = {-1, -1};

void open_links(ko_rpc::Module &m)
{
    for (int i = 0; i < 2; ++i) {
        if (m.links[i].fd >= 0)
            close(m.links[i].fd);
        if (g_peer[i] >= 0)
            close(g_peer[i]);
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) {
            std::perror("socketpair");
            std::abort();
        }
        m.links[i].fd = sv[0];
        g_peer[i] = sv[1];
    }
}

void drain()
{
    char buf[8192];
    for (int fd : g_peer)
        while (read(fd, buf, sizeof buf) > 0) {
        }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    ko_rpc::Module &m = ko_rpc::module();
    m.initialised = true;
    m.inner[0] = "lumo.ota";
    m.inner[1] = "local.query_status";
    m.inner[2] = "get_prop";
    open_links(m);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    ko_rpc::Module &m = ko_rpc::module();
    const ko_rpc::Direction direction = data[0] & 1 ? ko_rpc::kUp : ko_rpc::kDown;
    const std::string user = std::to_string(data[0] >> 1);
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        const int used = ko_rpc::parse_msg(m, reinterpret_cast<const char *>(data) + 1, size - 1, direction,
                                           user.c_str());
        if (used > static_cast<int>(size - 1))
            std::abort();
    }
    drain();
    // A failed send shuts a link down; give the next input open links again.
    if (m.counters.values[ko_rpc::Counters::rpc_send_err].exchange(0) != 0)
        open_links(m);
    return 0;
}
