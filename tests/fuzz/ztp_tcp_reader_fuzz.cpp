// Feeds a byte stream, as a server would send it, to a TCP login record's reader through a socket
// pair, taking each message it completes; the first byte picks the key string.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "ztp_tcp_login.h"
#include "ztp_wire_msgs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 60000)
        return -1;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) != 0)
        return 0;
    const int big = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t sent = 0;
    while (sent < size - 1) {
        const ssize_t n = send(pair[1], data + 1 + sent, size - 1 - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    close(pair[1]);

    ztp_scramble_key key;
    ztp_scramble_key_init(&key, data[0] & 1 ? "KEYSTR" : nullptr);
    ztp_tcp_session_info *info = ztp_AllocTCPSessionInfo("Server1", "127.0.0.1", 443, ZTP_TCP_MSG_MAX);
    info->sock = pair[0];
    info->connected = 1;
    // Each pass reads at least one byte or ends the connection, so this ends.
    for (size_t pass = 0; pass <= size && info->sock >= 0; ++pass) {
        ztp_Do_TCPRecv(&info, 1, &key);
        uint8_t type, payload[ZTP_TCP_MSG_MAX];
        size_t payload_size = sizeof payload;
        if (Check_MSG_Ready(info, &type, payload, &payload_size) == 0 && payload_size > ZTP_TCP_MSG_MAX - 4)
            __builtin_trap();
    }
    ztp_FreeTCPrSessionInfo(info);
    return 0;
}
