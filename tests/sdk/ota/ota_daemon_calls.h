// What the OTA tests ask of the device-daemon simulator: a method call on the RPC link and its reply,
// and the "props" values the camera reported.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "daemon_sim_client.h"
#include "zel_test_support.h"

namespace otatest {

// Sends {"id","method","params"} on the RPC link; the reply with that id, or none after 8 s.
inline zeltest::Json daemon_call(zeltest::DaemonSim &sim, int id, const std::string &method, const std::string &params)
{
    using namespace std::chrono_literals;
    int since = sim.received_count("rpc");
    sim.send("rpc", R"({"id":)" + std::to_string(id) + R"(,"method":")" + method + R"(","params":)" + params + "}");
    const auto deadline = std::chrono::steady_clock::now() + zeltest::scaled(8000ms);
    while (std::chrono::steady_clock::now() < deadline) {
        zeltest::Json r = sim.command(R"({"cmd":"wait","link":"rpc","method":null,"since":)" + std::to_string(since) +
                                      R"(,"timeout_ms":500})");
        json_object *obj = zeltest::member(r.get(), "object");
        if (!obj)
            continue;
        since = json_object_get_int(zeltest::member(r.get(), "index")) + 1;
        if (json_object_get_int(zeltest::member(obj, "id")) == id)
            return zeltest::parse_json(json_object_to_json_string(obj));
    }
    return zeltest::Json();
}

// The values of params.`key` of every "props" report on the RPC link, in order.
inline std::vector<std::string> reported_props(zeltest::DaemonSim &sim, const std::string &key)
{
    std::vector<std::string> values;
    zeltest::Json r = sim.command(R"({"cmd":"received","link":"rpc","since":0})");
    json_object *objects = zeltest::member(r.get(), "objects");
    for (size_t i = 0; objects && i < json_object_array_length(objects); ++i) {
        json_object *o = json_object_array_get_idx(objects, i);
        json_object *m = zeltest::member(o, "method");
        json_object *v = zeltest::member(zeltest::member(o, "params"), key.c_str());
        if (m && std::string(json_object_get_string(m)) == "props" && v)
            values.emplace_back(json_object_get_string(v));
    }
    return values;
}

} // namespace otatest
