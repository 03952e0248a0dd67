// What the streaming SDK's tests share: hex text to bytes (libsodium's decoder) and the server's
// start with this camera's identity.
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "vasq_api.h"

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

// vasq_server_init for the camera "camera" of model "zelmar.camera.c1"; the ring sizes (send video,
// send audio, receive video, receive audio) default when 0.
inline int start_server(const char *did, const uint8_t *token, int token_len, int max, int encrypt, int mode,
                        const std::array<int, 4> &sizes = {})
{
    vasq_device_info info{"camera", did, "zelmar.camera.c1"};
    vasq_server_config config{};
    config.max_sessions = max;
    config.send_video_size = sizes[0];
    config.send_audio_size = sizes[1];
    config.recv_video_size = sizes[2];
    config.recv_audio_size = sizes[3];
    config.token = token;
    config.token_len = token_len;
    config.init_mode = mode;
    config.encrypt_type = encrypt;
    return vasq_server_init(&info, &config);
}

} // namespace vasqtest
