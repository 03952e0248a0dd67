// The camera's side of the real-NAT tests, run inside the camera's namespace (ip netns exec):
//   ztp_device_driver INIT [detect] [listen DID MODE TIMEOUT_S]
// prints one JSON line per step: {"detect":rc,"nat":n,"wan":"ip","lan":"ip"} and
// {"listen":rc,"mode":m,"remote":"ip:port","local":"ip:port","wan":"ip:port"}.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ztp_api.h"

namespace {

std::string text(const sockaddr_in &a)
{
    char ip[16] = "0.0.0.0";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || ZTP_Initialize(argv[1]) != 0) {
        std::fprintf(stderr, "usage: ztp_device_driver INIT [detect] [listen DID MODE TIMEOUT_S]\n");
        return 2;
    }
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
            if (rc >= 0)
                ZTP_Close(rc);
            i += 3;
        }
        std::fflush(stdout);
    }
    return ZTP_DeInitialize() == 0 ? 0 : 1;
}
