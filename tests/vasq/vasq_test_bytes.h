// Hex text to bytes for the streaming SDK's tests (libsodium's decoder).
#pragma once

#include <sodium.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vasqtest {

inline std::vector<uint8_t> unhex(const std::string &hex)
{
    std::vector<uint8_t> out(hex.size() / 2);
    if (out.empty())
        return out;
    size_t n = 0;
    sodium_hex2bin(out.data(), out.size(), hex.data(), hex.size(), nullptr, &n, nullptr);
    out.resize(n);
    return out;
}

} // namespace vasqtest
