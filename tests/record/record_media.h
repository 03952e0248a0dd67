// Media and checks for the recording tests: the board's elementary streams (and streams ffmpeg makes
// on the spot) cut into access units, audio frames of the board's tone, a feeder that plays them into
// the fragmented-MP4 writer like the recorder does, and the independent checkers (ffprobe, ffmpeg,
// the Python walker).
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board_es_split.h"
#include "common/tiny_fmp4/fmp4_muxer.h"

namespace rectest {

struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<board::AccessUnit> units;
    bool h265 = true;
    int keys() const;
};

// The board stream file `name` ("sub_864x480.h265", ...).
std::string board_media(const std::string &name);
Stream load_stream(const std::string &path);
// Runs ffmpeg with `args` writing `dir`/`name`; the path, or "" when ffmpeg fails.
std::string make_stream(const std::string &dir, const std::string &name, const std::string &args);

// ffmpeg arguments of the made streams the recording tests share: x264 with four slices and access
// unit delimiters (GOP 60 at 20 fps, 6 s), and x265 with GOP = fps = 20 (6 s).
extern const char *const kX264SlicesAud;
extern const char *const kX265GopEqualsFps;

// `count` 40 ms frames of the board's 16 kHz tone, Opus (1032) or A-law (1027).
std::vector<std::vector<uint8_t>> audio_frames(int codec, size_t count);

struct FeedPlan {
    int frames = 0;          // video frames to feed (the stream loops)
    int fps = 20;
    int audio_fps = 25;
    uint64_t start_s = 1700000000; // wall-clock seconds of the first frame
    size_t first_unit = 0;   // where in the stream to start
};

struct FeedResult {
    int video_fed = 0;    // frames handed over (each counted once, however often passed)
    int audio_fed = 0;
    int new_index = 0;    // 101 results
    int full = 0;         // 100 results
    int errors = 0;       // negative results
    int first_error = 0;
    int last_error = 0;
    uint64_t next_ts_us = 0;
};

// Plays the plan into the muxer: a 101 result passes the frame again, a 100 result stops.
FeedResult feed(fmp4_muxer_t *m, const Stream &video, const std::vector<std::vector<uint8_t>> &audio,
                const FeedPlan &plan);

fmp4_muxer_config_t muxer_config(const std::string &path, bool h265, int audio_codec, int gop = 60, int fps = 20);

// A file of `size` bytes of `fill` (a stand-in for a pool file).
void make_pool_file(const std::string &path, uint64_t size, char fill = 0);

struct Packet {
    size_t size;
    bool key;
};
// ffprobe's packets of one stream ("v:0", "a:0").
std::vector<Packet> ffprobe_packets(const std::string &path, const std::string &stream);
// ffprobe's "codec_name,sample_rate,channels" or "codec_name,width,height" of a stream.
std::string ffprobe_stream(const std::string &path, const std::string &stream, const std::string &entries);
// What `ffmpeg -v error -xerror -i path -f null -` prints (empty when it decodes cleanly).
std::string ffmpeg_decode_errors(const std::string &path);

using Json = std::unique_ptr<json_object, decltype(&json_object_put)>;
// The walker's report on the file.
Json walk(const std::string &path);
// The walker's report on an index file of `kind` ("video", "event", "pic").
Json walk_index(const std::string &kind, const std::string &path);
// The walker's report on a picture data file.
Json walk_pictures(const std::string &path);
int64_t json_int(json_object *o, const char *key);

bool have_tool(const char *name);

} // namespace rectest
