// The camera's side of the real-NAT tests, run inside the camera's namespace (ip netns exec):
//   ztp_device_driver INIT [detect] [listen DID MODE TIMEOUT_S [echo MS]]
// prints one JSON line per step: {"detect":rc,"nat":n,"wan":"ip","lan":"ip"},
// {"listen":rc,"mode":m,"remote":"ip:port","local":"ip:port","wan":"ip:port"} and
// {"echo":bytes}: what the session's channels carried and were sent back for MS milliseconds.
#include <arpa/inet.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ztp_api.h"
#include "ztp_tick.h"

namespace {

std::string text(const sockaddr_in &a)
{
    char ip[16] = "0.0.0.0";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// Sends back on each channel what arrives on it, for `ms`: the bytes echoed.
long echo(int handle, long ms)
{
    long total = 0;
    const int64_t end = ztp_tick_ms() + ms;
    char buf[4096];
    while (ztp_tick_ms() < end) {
        for (uint8_t c = 0; c < 8; ++c) {
            uint32_t unread = 0;
            if (ZTP_Check_Buffer(handle, c, nullptr, &unread) != 0)
                return total;
            while (unread > 0) {
                int size = static_cast<int>(unread < sizeof buf ? unread : sizeof buf);
                const int rc = ZTP_Read(handle, c, buf, &size, 10);
                if (size > 0)
                    ZTP_Write(handle, c, buf, size);
                total += size;
                if (rc != 0)
                    break;
                unread -= static_cast<uint32_t>(size);
            }
        }
        usleep(2000);
    }
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || ZTP_Initialize(argv[1]) != 0) {
        std::fprintf(stderr, "usage: ztp_device_driver INIT [detect] [listen DID MODE TIMEOUT_S]\n");
        return 2;
    }
    int open = -1;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "detect") == 0) {
            ztp_net_info net{};
            const int rc = ZTP_NetworkDetect(&net, 0);
            std::printf("{\"detect\":%d,\"nat\":%d,\"wan\":\"%s\",\"lan\":\"%s\"}\n", rc, net.nat_type, net.wan_ip,
                        net.lan_ip);
        } else if (std::strcmp(argv[i], "listen") == 0 && i + 3 < argc) {
            const int rc = ZTP_Listen(argv[i + 1], static_cast<unsigned>(std::atoi(argv[i + 3])), 0,
                                      static_cast<uint8_t>(std::atoi(argv[i + 2])));
            ztp_session_info info{};
            if (rc >= 0)
                ZTP_Check(rc, &info);
            std::printf("{\"listen\":%d,\"mode\":%d,\"remote\":\"%s\",\"local\":\"%s\",\"wan\":\"%s\"}\n", rc,
                        info.mode, text(info.remote_addr).c_str(), text(info.local_addr).c_str(),
                        text(info.wan_addr).c_str());
            if (open >= 0)
                ZTP_Close(open);
            open = rc;
            i += 3;
        } else if (std::strcmp(argv[i], "echo") == 0 && i + 1 < argc) {
            std::printf("{\"echo\":%ld}\n", open >= 0 ? echo(open, std::atol(argv[i + 1])) : -1L);
            ++i;
        }
        std::fflush(stdout);
    }
    if (open >= 0)
        ZTP_Close(open);
    return ZTP_DeInitialize() == 0 ? 0 : 1;
}
