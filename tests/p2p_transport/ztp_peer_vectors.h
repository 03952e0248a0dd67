// Test material made by the Python peer tests/peers/ztp_wire.py, which implements the wire format
// on its own: messages by name, scrambled files, init strings.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ztp_wire.h"

namespace ztptest {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string &hex);
std::string to_hex(const uint8_t *p, size_t n);
inline std::string to_hex(const Bytes &b)
{
    return to_hex(b.data(), b.size());
}

// `ztp_wire.py vectors`, run once per process: name -> bytes (and the text entries as bytes).
const std::map<std::string, Bytes> &peer_vectors();
const Bytes &vec(const std::string &name);
std::string vec_text(const std::string &name);

// Runs ztp_wire.py with `args`; its stdout, or throws when it fails.
std::string run_wire_peer(const std::string &args);

// The DID and addresses the peer's vectors use.
ztp_did test_did();
sockaddr_in addr(const char *ip, uint16_t port);
std::string addr_text(const sockaddr_in &a); // "ip:port"

} // namespace ztptest
