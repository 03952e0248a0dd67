// Feeds one settings socket read to the server's request handler, with the stores open in a
// temporary root (no factory partition); the replies go to a socket pair that is drained.
#include "zel_db/zel_db.h"
#include "zel_db/zel_db_server.h"
#include "zel_db/zel_db_wire.h"
#include "zel_fuzz_root.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace {

int g_pair[2] = {-1, -1};

void drain()
{
    char buf[65536];
    while (recv(g_pair[1], buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zelfuzz::root();
    if (zel_api_db_init() != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, g_pair) != 0)
        abort();
    atexit([] { zel_api_db_deinit(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > ZEL_DB_MSG_MAX)
        return -1;
    // The server hands the handler a cleared buffer one byte longer than the read.
    char request[ZEL_DB_MSG_MAX + 1] = {};
    memcpy(request, data, size);
    zel_db_server_callback(g_pair[0], request, static_cast<int>(size));
    drain();
    return 0;
}
