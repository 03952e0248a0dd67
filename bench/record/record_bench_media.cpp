#include "record_bench_media.h"

#include <fstream>
#include <map>

#include "common/audio/ko_audio.h"
#include "common/audio/ko_opus.h"
#include "common/utils/ko_log.h"
#include "zel_test_support.h"

namespace recbench {

namespace {

std::string media_dir() { return std::string(ZEL_BOARD_MEDIA) + "/"; }

Media load(int loops)
{
    Media out;
    std::ifstream in(media_dir() + "main_2880x1620.h265", std::ios::binary);
    const std::vector<uint8_t> one((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (int i = 0; i < loops; i++)
        out.video.insert(out.video.end(), one.begin(), one.end());
    out.units = board::split_access_units(out.video.data(), out.video.size(), board::Codec::h265);
    std::ifstream pcm_in(media_dir() + "audio_16k_mono.pcm", std::ios::binary);
    const std::vector<char> pcm((std::istreambuf_iterator<char>(pcm_in)), std::istreambuf_iterator<char>());
    ko_audio_param p{16000, 16, KO_AUDIO_CODEC_OPUS};
    ko_opus_encoder *enc = opus_encode_init(&p);
    const size_t frames = out.units.size() * kAudioFps / kFps;
    for (size_t i = 0; i < frames && enc; i++) {
        std::vector<uint8_t> f(1280);
        const int n = opus_encode_single_frame(enc, pcm.data() + (i * 1280) % (pcm.size() - 1280), 1280, f.data(),
                                               static_cast<int>(f.size()));
        f.resize(n > 0 ? static_cast<size_t>(n) : 0);
        out.audio.push_back(std::move(f));
    }
    if (enc)
        opus_encoder_exit(enc);
    for (const auto &u : out.units)
        out.bytes += u.size;
    for (const auto &a : out.audio)
        out.bytes += a.size();
    return out;
}

} // namespace

const Media &board_media(int loops)
{
    static std::map<int, Media> made;
    auto it = made.find(loops);
    if (it == made.end())
        it = made.emplace(loops, load(loops)).first;
    return it->second;
}

void ffmpeg_copy(benchmark::State &state, const Media &m, const std::string &dir, const std::string &out,
                 const std::string &format)
{
    const std::string h265 = dir + "/main.h265", ogg = dir + "/audio.ogg";
    std::ofstream(h265, std::ios::binary)
        .write(reinterpret_cast<const char *>(m.video.data()), static_cast<std::streamsize>(m.video.size()));
    const double seconds = static_cast<double>(m.units.size()) / kFps;
    if (zeltest::run_command("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                             "sine=frequency=440:sample_rate=16000:duration=" + std::to_string(seconds) +
                             " -ac 1 -c:a libopus -b:a 32k -frame_duration 40 '" + ogg + "'") != 0) {
        state.SkipWithError("ffmpeg cannot make the Opus baseline input");
        return;
    }
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -framerate 20 -i '" + h265 + "' -i '" +
                            ogg + "' -c copy " + format + " '" + out + "'";
    for (auto _ : state)
        if (zeltest::run_command(cmd) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(m.units.size()) * state.iterations(), benchmark::Counter::kIsRate);
}

void quiet()
{
    ko_log_param p{};
    p.level = KO_LOG_ERROR;
    ko_log_init(&p);
}

} // namespace recbench
