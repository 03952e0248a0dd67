#include "record_media.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/audio/ko_g711.h"
#include "common/audio/ko_opus.h"
#include "zel_test_support.h"

namespace rectest {

int Stream::keys() const
{
    int n = 0;
    for (const auto &u : units)
        n += u.key ? 1 : 0;
    return n;
}

const char *const kX264SlicesAud =
    "-f lavfi -i testsrc2=size=320x240:rate=20 -t 6 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -bf 0 -g 60 "
    "-sc_threshold 0 -x264-params slices=4:aud=1 -bsf:v dump_extra=freq=keyframe -f h264";
const char *const kX265GopEqualsFps =
    "-f lavfi -i testsrc2=size=320x240:rate=20 -t 6 -c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params "
    "log-level=error:keyint=20:min-keyint=20:scenecut=0:bframes=0:repeat-headers=1 -f hevc";

std::string board_media(const std::string &name)
{
    return std::string(ZEL_TEST_BINARY_DIR) + "/platform/board/media/" + name;
}

Stream load_stream(const std::string &path)
{
    Stream s;
    std::ifstream in(path, std::ios::binary);
    s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    s.h265 = path.size() > 5 && path.compare(path.size() - 5, 5, ".h265") == 0;
    s.units = board::split_access_units(s.bytes.data(), s.bytes.size(), s.h265 ? board::Codec::h265 : board::Codec::h264);
    return s;
}

std::string make_stream(const std::string &dir, const std::string &name, const std::string &args)
{
    const std::string out = dir + "/" + name;
    const int rc = zeltest::run_command("ffmpeg -hide_banner -loglevel error -y " + args + " '" + out + "' 2>&1");
    return rc == 0 ? out : "";
}

std::vector<std::vector<uint8_t>> audio_frames(int codec, size_t count)
{
    std::ifstream in(board_media("audio_16k_mono.pcm"), std::ios::binary);
    std::vector<char> pcm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr size_t kFrameBytes = 1280; // 40 ms of 16 kHz 16-bit mono
    std::vector<std::vector<uint8_t>> frames;
    if (pcm.size() < kFrameBytes)
        return frames;
    ko_audio_param p{16000, 16, static_cast<uint32_t>(codec)};
    ko_opus_encoder *opus = codec == FMP4_CODEC_OPUS ? opus_encode_init(&p) : nullptr;
    for (size_t i = 0; i < count; i++) {
        const size_t at = (i * kFrameBytes) % (pcm.size() - pcm.size() % kFrameBytes);
        std::vector<uint8_t> out(kFrameBytes);
        if (opus) {
            const int n = opus_encode_single_frame(opus, pcm.data() + at, kFrameBytes, out.data(), (int)out.size());
            out.resize(n > 0 ? n : 0);
        } else {
            out.resize(kFrameBytes / 2);
            for (size_t k = 0; k < out.size(); k++) {
                int16_t sample;
                memcpy(&sample, pcm.data() + at + 2 * k, 2);
                out[k] = linear2alaw(sample);
            }
        }
        frames.push_back(std::move(out));
    }
    if (opus)
        opus_encoder_exit(opus);
    return frames;
}

FeedResult feed(fmp4_muxer_t *m, const Stream &video, const std::vector<std::vector<uint8_t>> &audio,
                const FeedPlan &plan)
{
    FeedResult r;
    const uint64_t start_us = plan.start_s * 1000000ull;
    size_t next_audio = 0;
    auto count = [&r](int rc) {
        if (rc == FMP4_FILE_FULL)
            r.full++;
        else if (rc < 0) {
            if (r.errors++ == 0)
                r.first_error = rc;
            r.last_error = rc;
        }
    };
    for (int i = 0; i < plan.frames; i++) {
        const board::AccessUnit &u = video.units[(plan.first_unit + i) % video.units.size()];
        const uint64_t ts = start_us + static_cast<uint64_t>(i) * 1000000ull / plan.fps;
        ko_av_frame f{};
        f.timestamp_us = ts;
        f.timestamp_s = ts / 1000000;
        f.frame_type = u.key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
        f.data = const_cast<uint8_t *>(video.bytes.data() + u.offset);
        f.size = static_cast<uint32_t>(u.size);
        int rc = fmp4_muxer_update_video(m, &f);
        if (rc == FMP4_NEW_INDEX) {
            r.new_index++;
            rc = fmp4_muxer_update_video(m, &f);
        }
        r.video_fed++;
        count(rc);
        if (rc == FMP4_FILE_FULL)
            break;
        while (plan.audio_fps > 0 && !audio.empty() &&
               start_us + next_audio * 1000000ull / plan.audio_fps <= ts) {
            const auto &a = audio[next_audio % audio.size()];
            ko_av_frame af{};
            af.timestamp_us = start_us + next_audio * 1000000ull / plan.audio_fps;
            af.timestamp_s = af.timestamp_us / 1000000;
            af.frame_type = KO_FRAME_TYPE_AUDIO;
            af.data = const_cast<uint8_t *>(a.data());
            af.size = static_cast<uint32_t>(a.size());
            const int arc = fmp4_muxer_update_audio(m, &af);
            r.audio_fed++;
            count(arc);
            next_audio++;
        }
        r.next_ts_us = ts + 1000000ull / plan.fps;
    }
    return r;
}

fmp4_muxer_config_t muxer_config(const std::string &path, bool h265, int audio_codec, int gop, int fps)
{
    fmp4_muxer_config_t c{};
    snprintf(c.path, sizeof c.path, "%s", path.c_str());
    c.video_codec = h265 ? FMP4_CODEC_H265 : FMP4_CODEC_H264;
    c.audio_codec = audio_codec;
    c.width = 864;
    c.height = 480;
    c.gop = gop;
    c.fps = fps;
    c.audio_fps = 25;
    c.video_bitrate = 2000;
    c.audio_bitrate = audio_codec == FMP4_CODEC_ALAW ? 128 : 32;
    c.video_time_scale = 90000;
    c.audio_time_scale = 16000;
    return c;
}

void make_pool_file(const std::string &path, uint64_t size, char fill)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 16, fill);
    for (uint64_t left = size; left > 0;) {
        const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
}

std::vector<Packet> ffprobe_packets(const std::string &path, const std::string &stream)
{
    std::string out;
    zeltest::run_command("ffprobe -v error -select_streams " + stream +
                             " -show_entries packet=size,flags -of csv=p=0 '" + path + "'",
                         &out);
    std::vector<Packet> packets;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos)
            continue;
        packets.push_back({std::stoul(line.substr(0, comma)), line[comma + 1] == 'K'});
    }
    return packets;
}

std::string ffprobe_stream(const std::string &path, const std::string &stream, const std::string &entries)
{
    std::string out;
    zeltest::run_command("ffprobe -v error -select_streams " + stream + " -show_entries stream=" + entries +
                             " -of csv=p=0 '" + path + "'",
                         &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ','))
        out.pop_back();
    return out;
}

std::string ffmpeg_decode_errors(const std::string &path)
{
    std::string out;
    zeltest::run_command("ffmpeg -nostdin -v error -xerror -i '" + path + "' -f null - 2>&1", &out);
    return out;
}

Json walk(const std::string &path)
{
    std::string out;
    zeltest::run_command("'" ZEL_PYTHON "' '" ZEL_TEST_PEERS_DIR "/fmp4_walk.py' '" + path + "'", &out);
    return Json(json_tokener_parse(out.c_str()), &json_object_put);
}

Json walk_index(const std::string &kind, const std::string &path)
{
    std::string out;
    zeltest::run_command("'" ZEL_PYTHON "' '" ZEL_TEST_PEERS_DIR "/fmp4_walk.py' --index " + kind + " '" + path + "'",
                         &out);
    return Json(json_tokener_parse(out.c_str()), &json_object_put);
}

Json walk_pictures(const std::string &path)
{
    std::string out;
    zeltest::run_command("'" ZEL_PYTHON "' '" ZEL_TEST_PEERS_DIR "/fmp4_walk.py' --pic '" + path + "'", &out);
    return Json(json_tokener_parse(out.c_str()), &json_object_put);
}

int64_t json_int(json_object *o, const char *key)
{
    json_object *v = nullptr;
    return o && json_object_object_get_ex(o, key, &v) ? json_object_get_int64(v) : -1;
}

bool have_tool(const char *name)
{
    return zeltest::run_command(std::string("command -v ") + name + " >/dev/null 2>&1") == 0;
}

} // namespace rectest
