#include "ztp_peer_vectors.h"

#include <arpa/inet.h>
#include <json-c/json.h>

#include <cstring>
#include <stdexcept>

#include "zel_test_support.h"

namespace ztptest {

Bytes from_hex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t *p, size_t n)
{
    return zeltest::hex(p, n);
}

std::string run_wire_peer(const std::string &args)
{
    std::string out;
    const std::string cmd = std::string(ZEL_PYTHON) + " " + ZEL_TEST_PEERS_DIR + "/ztp_wire.py " + args;
    if (zeltest::run_command(cmd, &out) != 0)
        throw std::runtime_error("ztp_wire.py failed: " + cmd);
    return out;
}

namespace {

std::map<std::string, Bytes> load()
{
    std::map<std::string, Bytes> out;
    json_object *root = json_tokener_parse(run_wire_peer("vectors").c_str());
    if (!root)
        throw std::runtime_error("ztp_wire.py vectors: no JSON");
    json_object_object_foreach(root, key, value)
    {
        const std::string text = json_object_get_string(value);
        const bool is_hex = std::string(key).rfind("init_string", 0) != 0 && std::string(key) != "p2p_key";
        out[key] = is_hex ? from_hex(text) : Bytes(text.begin(), text.end());
    }
    json_object_put(root);
    return out;
}

} // namespace

const std::map<std::string, Bytes> &peer_vectors()
{
    static const std::map<std::string, Bytes> vectors = load();
    return vectors;
}

const Bytes &vec(const std::string &name)
{
    const auto &all = peer_vectors();
    const auto it = all.find(name);
    if (it == all.end())
        throw std::runtime_error("no peer vector " + name);
    return it->second;
}

std::string vec_text(const std::string &name)
{
    const Bytes &b = vec(name);
    return std::string(b.begin(), b.end());
}

ztp_did test_did()
{
    ztp_did did{};
    std::strcpy(did.prefix, "ABC");
    did.serial = 123;
    std::strcpy(did.check, "XYZ");
    return did;
}

sockaddr_in addr(const char *ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

std::string addr_text(const sockaddr_in &a)
{
    char ip[16];
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

} // namespace ztptest
