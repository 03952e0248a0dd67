// The simulated encoders: video access units read from H.265 or H.264 elementary-stream files and audio
// frames from a 16 kHz PCM file, handed out at their frame rate by the monotonic clock, looping with
// rising time stamps; key-frame requests, start/stop and the JPEG snapshot.
#include "board_control.h"
#include "board_es_split.h"
#include "boardav.h"
#include "boardav_test.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::atomic<bool> g_mic_gain{true}; // dorvi_set_mic_gain

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

constexpr int kVideoFps = 20;
constexpr int kAudioFrameBytes = 1280; // 40 ms of 16 kHz mono s16le
constexpr microseconds kVideoInterval{1000000 / kVideoFps};
constexpr microseconds kAudioInterval{40000};
constexpr auto kReadWait = std::chrono::milliseconds(100);
constexpr auto kMaxBacklog = std::chrono::seconds(2);

struct Paced {
    std::mutex lock;
    std::condition_variable wake;
    bool running = false;
    Clock::time_point base;
    uint64_t slot = 0; // time slots handed out since the start

    Clock::time_point due() const { return base + slot * interval; }
    microseconds interval{0};
};

struct VideoChannel : Paced {
    board::Codec codec = board::Codec::h265;
    std::string path;
    std::vector<uint8_t> data;
    std::vector<board::AccessUnit> units;
    size_t next = 0;
    bool force_key = false;
    int key_delay_left = 0; // frames still handed out as they come before force_key acts
};

struct AudioChannel : Paced {
    std::string path;
    std::vector<uint8_t> data;
    size_t frames = 0;
    size_t next = 0;
};

struct Board {
    std::mutex lock; // start and stop
    bool started = false;
    bool main_1440 = false;
    std::string codec = "h265";
    std::atomic<int> key_delay{0};
    std::atomic<int> jpeg_misreport{-1}; // the length the next snapshot reports, -1 the true one
    VideoChannel video[2];
    AudioChannel audio;
    std::vector<uint8_t> jpeg;
};

Board &the_board()
{
    static Board *b = new Board; // lives for the process: reader threads may still wait at exit
    return *b;
}

uint64_t to_us(Clock::time_point t)
{
    return static_cast<uint64_t>(std::chrono::duration_cast<microseconds>(t.time_since_epoch()).count());
}

std::string media_dir()
{
    const char *dir = std::getenv("ZELMAR_BOARD_MEDIA");
    return dir && *dir ? dir : ZEL_BOARD_MEDIA_DIR;
}

bool read_file(const std::string &path, std::vector<uint8_t> *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        board::log_error("cannot open %s", path.c_str());
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad() || out->empty()) {
        board::log_error("cannot read %s", path.c_str());
        return false;
    }
    return true;
}

bool load_video(VideoChannel &ch, const std::string &path, board::Codec codec)
{
    std::lock_guard<std::mutex> g(ch.lock);
    ch.path = path;
    ch.codec = codec;
    if (!read_file(path, &ch.data))
        return false;
    ch.units = board::split_access_units(ch.data.data(), ch.data.size(), codec);
    if (ch.units.empty() || !ch.units.front().key) {
        board::log_error("%s holds no access units starting with a key frame", path.c_str());
        return false;
    }
    ch.next = 0;
    ch.force_key = false;
    return true;
}

bool load_audio(AudioChannel &ch, const std::string &path)
{
    std::lock_guard<std::mutex> g(ch.lock);
    ch.path = path;
    if (!read_file(path, &ch.data))
        return false;
    ch.frames = ch.data.size() / kAudioFrameBytes;
    ch.next = 0;
    if (ch.frames == 0) {
        board::log_error("%s is shorter than one audio frame", path.c_str());
        return false;
    }
    return true;
}

void start_pacing(Paced &p, microseconds interval, Clock::time_point now)
{
    std::lock_guard<std::mutex> g(p.lock);
    p.interval = interval;
    p.base = now;
    p.slot = 0;
    p.running = true;
}

void stop_pacing(Paced &p)
{
    {
        std::lock_guard<std::mutex> g(p.lock);
        p.running = false;
    }
    p.wake.notify_all();
}

// Waits, with p.lock held in `g`, for the next slot to come due. false: none within the read wait.
bool wait_due(Paced &p, std::unique_lock<std::mutex> &g)
{
    const Clock::time_point limit = Clock::now() + kReadWait;
    while (p.running && Clock::now() < p.due()) {
        if (p.due() > limit) {
            p.wake.wait_until(g, limit);
            if (Clock::now() >= limit)
                return false;
        } else {
            p.wake.wait_until(g, p.due());
        }
    }
    return p.running;
}

// The slot that is due now, for a reader that fell too far behind.
void resync(Paced &p)
{
    p.slot = static_cast<uint64_t>((Clock::now() - p.base) / p.interval);
}

bool injected_read(const std::string &name, int32_t *length, int *result)
{
    if (!board::injected(name, result))
        return false;
    *length = 0;
    return true;
}

void request_key(VideoChannel &ch)
{
    const int delay = the_board().key_delay;
    std::lock_guard<std::mutex> g(ch.lock);
    if (!ch.force_key)
        ch.key_delay_left = delay;
    ch.force_key = true;
}

} // namespace

extern "C" {

int set_main_stream_info(void)
{
    Board &b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    b.main_1440 = true;
    board::record_call("set_main_stream_info()");
    return 0;
}

int board_system_init(int video_on, int reserved)
{
    board::record_call("board_system_init(" + std::to_string(video_on) + "," + std::to_string(reserved) + ")");
    int result = 0;
    if (board::injected("board_system_init", &result))
        return result;
    Board &b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    if (b.started)
        return 0;
    const bool h264 = b.codec == "h264";
    const board::Codec codec = h264 ? board::Codec::h264 : board::Codec::h265;
    const std::string ext = h264 ? ".h264" : ".h265";
    const std::string dir = media_dir();
    const std::string main_name = b.main_1440 ? "main_2560x1440" : "main_2880x1620";
    if (!load_video(b.video[0], dir + "/" + main_name + ext, codec) ||
        !load_video(b.video[1], dir + "/sub_864x480" + ext, codec) ||
        !load_audio(b.audio, dir + "/audio_16k_mono.pcm") || !read_file(dir + "/snapshot.jpg", &b.jpeg)) {
        board::log_error("board_system_init: media under %s missing", dir.c_str());
        return -1;
    }
    const Clock::time_point now = Clock::now();
    start_pacing(b.video[0], kVideoInterval, now);
    start_pacing(b.video[1], kVideoInterval, now);
    start_pacing(b.audio, kAudioInterval, now);
    b.started = true;
    return 0;
}

int board_system_exit(void)
{
    board::record_call("board_system_exit()");
    Board &b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    b.started = false;
    stop_pacing(b.video[0]);
    stop_pacing(b.video[1]);
    stop_pacing(b.audio);
    return 0;
}

int start_stream(int a, int b, int c)
{
    board::record_call("start_stream(" + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + ")");
    return 0;
}

int stop_stream(int a, int b, int c)
{
    board::record_call("stop_stream(" + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + ")");
    return 0;
}

int get_video_stream(int chn, void *buf, int cap, board_video_frame_info_t *info)
{
    if ((chn != 0 && chn != 1) || !buf || cap <= 0 || !info) {
        board::log_error("get_video_stream: bad argument (chn %d, cap %d)", chn, cap);
        return -1;
    }
    int result = 0;
    if (injected_read("get_video_stream:" + std::to_string(chn), &info->length, &result))
        return result;
    VideoChannel &ch = the_board().video[chn];
    std::unique_lock<std::mutex> g(ch.lock);
    if (!ch.running) {
        board::log_error("get_video_stream: board not started");
        return -1;
    }
    info->length = 0;
    if (!wait_due(ch, g))
        return ch.running ? 0 : -1;
    if (Clock::now() - ch.due() > kMaxBacklog) {
        board::log_error("get_video_stream: channel %d reader fell behind, frames dropped", chn);
        resync(ch);
        return -2;
    }
    if (ch.force_key && ch.key_delay_left > 0) {
        --ch.key_delay_left;
    } else if (ch.force_key) {
        while (!ch.units[ch.next].key)
            ch.next = (ch.next + 1) % ch.units.size();
        ch.force_key = false;
    }
    const board::AccessUnit &au = ch.units[ch.next];
    const uint64_t ts = to_us(ch.due());
    ch.next = (ch.next + 1) % ch.units.size();
    ++ch.slot;
    if (au.size > static_cast<size_t>(cap)) {
        board::log_error("get_video_stream: frame of %zu bytes does not fit %d, dropped", au.size, cap);
        return -2;
    }
    memcpy(buf, ch.data.data() + au.offset, au.size);
    info->frame_type = ch.codec == board::Codec::h265 ? BOARD_FRAME_H265 : BOARD_FRAME_H264;
    info->timestamp = ts;
    info->length = static_cast<int32_t>(au.size);
    info->key_frame = au.key ? 1 : 0;
    return 0;
}

int get_audio_stream_ex(void *buf, int cap, board_audio_frame_info_t *info)
{
    if (!buf || cap < kAudioFrameBytes || !info) {
        board::log_error("get_audio_stream_ex: bad argument (cap %d)", cap);
        return -1;
    }
    int result = 0;
    if (injected_read("get_audio_stream_ex", &info->length, &result))
        return result;
    AudioChannel &ch = the_board().audio;
    std::unique_lock<std::mutex> g(ch.lock);
    if (!ch.running) {
        board::log_error("get_audio_stream_ex: board not started");
        return -1;
    }
    info->length = 0;
    if (!wait_due(ch, g))
        return ch.running ? 0 : -1;
    if (Clock::now() - ch.due() > kMaxBacklog) {
        // Audio frames stand alone: skip what was missed and go on with the frame of now.
        const uint64_t old = ch.slot;
        resync(ch);
        ch.next = (ch.next + (ch.slot - old)) % ch.frames;
    }
    if (g_mic_gain.load())
        memcpy(buf, ch.data.data() + ch.next * kAudioFrameBytes, kAudioFrameBytes);
    else
        memset(buf, 0, kAudioFrameBytes);
    info->timestamp = to_us(ch.due());
    info->length = kAudioFrameBytes;
    ch.next = (ch.next + 1) % ch.frames;
    ++ch.slot;
    return 0;
}

int dorvi_set_mic_gain(int on)
{
    board::record_call("dorvi_set_mic_gain(" + std::to_string(on) + ")");
    g_mic_gain.store(on != 0);
    return 0;
}

int req_IDR_one(int chn)
{
    board::record_call("req_IDR_one(" + std::to_string(chn) + ")");
    if (chn != 0 && chn != 1) {
        board::log_error("req_IDR_one: no video channel %d", chn);
        return -1;
    }
    request_key(the_board().video[chn]);
    return 0;
}

int req_IDR(void)
{
    board::record_call("req_IDR()");
    for (VideoChannel &ch : the_board().video)
        request_key(ch);
    return 0;
}

int get_jpeg_snap(void *buf, int cap, board_jpeg_info_t *info)
{
    int result = 0;
    if (board::injected("get_jpeg_snap", &result))
        return result;
    if (!buf || !info) {
        board::log_error("get_jpeg_snap: bad argument");
        return -1;
    }
    Board &b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    if (!b.started) {
        board::log_error("get_jpeg_snap: board not started");
        return -1;
    }
    if (b.jpeg.size() > static_cast<size_t>(cap)) {
        board::log_error("get_jpeg_snap: JPEG of %zu bytes does not fit %d", b.jpeg.size(), cap);
        return -2;
    }
    memcpy(buf, b.jpeg.data(), b.jpeg.size());
    const int misreport = b.jpeg_misreport.exchange(-1);
    *info = board_jpeg_info_t{864, 480, 80, 0, misreport >= 0 ? misreport : static_cast<int32_t>(b.jpeg.size())};
    return 0;
}

int get_raw_frame(int chn, void *buf, int cap, uint8_t flag)
{
    constexpr int kWidth = 864, kHeight = 480, kSize = kWidth * kHeight * 3 / 2;
    board::record_call("get_raw_frame(" + std::to_string(chn) + "," + std::to_string(flag) + ")");
    int result = 0;
    if (board::injected("get_raw_frame", &result))
        return result;
    if (!buf || cap < kSize) {
        board::log_error("get_raw_frame: buffer of %d bytes, %d needed", cap, kSize);
        return -1;
    }
    memset(buf, 0x80, kSize); // mid-grey luma, neutral chroma
    return kSize;
}

} // extern "C"

void board_test_set_codec(const std::string &codec)
{
    Board &b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    b.codec = codec;
}

std::string board_test_stream_path(int chn)
{
    Board &b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    return chn == 0 || chn == 1 ? b.video[chn].path : std::string();
}

std::string board_test_audio_path()
{
    Board &b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    return b.audio.path;
}

void board_test_set_key_delay(int frames)
{
    the_board().key_delay = frames > 0 ? frames : 0;
}

void board_test_misreport_jpeg_length(int length)
{
    the_board().jpeg_misreport = length;
}

int board_test_mic_gain()
{
    return g_mic_gain.load() ? 1 : 0;
}
