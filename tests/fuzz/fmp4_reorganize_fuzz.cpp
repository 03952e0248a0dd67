// Feeds the moof rewrite arbitrary buffers against a real recording's handle: whatever the box sizes
// say, it must touch only the buffer and end.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "ko_sdk_fuzz_support.h"

namespace {

fmp4_demuxer_t *g_demuxer = nullptr;

// A short H.264 recording made by the writer from stand-in parameter sets and slices.
std::string make_recording()
{
    const int fd = memfd_create("fmp4_reorganize", 0);
    if (fd < 0 || ftruncate(fd, 1 << 20) != 0)
        return "";
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    fmp4_muxer_config_t cfg{};
    snprintf(cfg.path, sizeof cfg.path, "%s", path.c_str());
    cfg.video_codec = FMP4_CODEC_H264;
    cfg.audio_codec = FMP4_CODEC_ALAW;
    cfg.width = 64;
    cfg.height = 64;
    cfg.gop = 10;
    cfg.fps = 10;
    cfg.audio_fps = 25;
    cfg.video_time_scale = 90000;
    cfg.audio_time_scale = 8000;
    fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
    if (!m)
        return "";
    static const uint8_t kKey[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0xab, 0, 0, 0, 1, 0x68, 0xce, 0x38, 0x80,
                                   0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0xa0};
    static const uint8_t kOther[] = {0, 0, 0, 1, 0x41, 0x9a, 0x21, 0x6c, 0x41};
    std::vector<uint8_t> audio(320, 0xd5);
    for (int i = 0; i < 40; i++) {
        ko_av_frame v{};
        v.timestamp_us = 1700000000ull * 1000000 + static_cast<uint64_t>(i) * 100000;
        v.timestamp_s = v.timestamp_us / 1000000;
        v.frame_type = i % 10 == 0 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
        v.data = const_cast<uint8_t *>(i % 10 == 0 ? kKey : kOther);
        v.size = i % 10 == 0 ? sizeof kKey : sizeof kOther;
        while (fmp4_muxer_update_video(m, &v) == FMP4_NEW_INDEX) {
        }
        ko_av_frame a = v;
        a.data = audio.data();
        a.size = static_cast<uint32_t>(audio.size());
        fmp4_muxer_update_audio(m, &a);
    }
    fmp4_muxer_finish(m);
    return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    const std::string path = make_recording();
    g_demuxer = path.empty() ? nullptr : fmp4_demuxer_open(path.c_str());
    if (!g_demuxer)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> buf(data, data + size);
    fmp4_rebase_t rebase{1, size > 0 ? data[0] : 0u, 7};
    fmp4_reorganize_moof_box(g_demuxer, buf.data(), static_cast<uint32_t>(buf.size()), &rebase);
    return 0;
}
