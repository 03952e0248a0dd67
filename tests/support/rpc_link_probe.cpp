#include "rpc_link_probe.h"

#include "app/rpc/ko_rpc.h"

namespace zeltest {

bool wait_rpc_link_ready(DaemonSim &sim)
{
    const bool connected = wait_until(
        [&] {
            Json links = sim.command(R"({"cmd":"links"})");
            return json_object_get_boolean(member(member(member(links.get(), "links"), "rpc"), "connected"));
        },
        std::chrono::seconds(15));
    if (!connected)
        return false;
    ko_rpc_stat before{};
    ko_rpc_stat_get(&before);
    sim.send("rpc", R"({"id":2147483647,"result":"probe"})");
    return wait_until(
        [&] {
            ko_rpc_stat now{};
            ko_rpc_stat_get(&now);
            return now.down_ack > before.down_ack;
        },
        std::chrono::seconds(10));
}

} // namespace zeltest
