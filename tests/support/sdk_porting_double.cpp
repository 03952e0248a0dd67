// The recording stand-in for the app-client library's pushes.
#include "sdk_porting_double.h"

#include "sdk_media_frame.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace portdouble {

namespace {

constexpr size_t kMaxBytes = 64u << 20;
constexpr size_t kMaxRecords = 100000;

struct Record {
    std::mutex lock;
    std::vector<Frame> frames;
    std::vector<int> events;
    std::vector<int64_t> event_times_us;
    size_t bytes = 0;
    std::atomic<int> result{0};
};

Record &record()
{
    static Record *r = new Record; // fetch threads may push until the process ends
    return *r;
}

} // namespace

std::vector<Frame> frames(int channel)
{
    Record &r = record();
    std::lock_guard<std::mutex> l(r.lock);
    std::vector<Frame> out;
    for (const Frame &f : r.frames)
        if (channel < 0 || f.channel == channel)
            out.push_back(f);
    return out;
}

size_t frame_count(int channel)
{
    Record &r = record();
    std::lock_guard<std::mutex> l(r.lock);
    size_t n = 0;
    for (const Frame &f : r.frames)
        n += channel < 0 || f.channel == channel;
    return n;
}

std::vector<int> events()
{
    Record &r = record();
    std::lock_guard<std::mutex> l(r.lock);
    return r.events;
}

std::vector<int64_t> event_times_us()
{
    Record &r = record();
    std::lock_guard<std::mutex> l(r.lock);
    return r.event_times_us;
}

void clear()
{
    Record &r = record();
    std::lock_guard<std::mutex> l(r.lock);
    r.frames.clear();
    r.events.clear();
    r.event_times_us.clear();
    r.bytes = 0;
}

void set_result(int result)
{
    record().result = result;
}

} // namespace portdouble

extern "C" int sdk_porting_push_stream_data(sdk_media_frame_t *frame)
{
    using namespace portdouble;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    if (!frame)
        return 0;
    Frame f;
    f.arrived_us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    f.len = frame->len;
    f.stream = frame->stream;
    f.channel = frame->channel;
    f.ts_ms = frame->ts_ms;
    f.seq = frame->seq;
    f.key = frame->key;
    f.kind = frame->kind;
    f.type = frame->type;
    f.reserved = frame->reserved;
    Record &r = record();
    std::lock_guard<std::mutex> l(r.lock);
    if (r.frames.size() < kMaxRecords) {
        const size_t n = frame->data && frame->len > 0 ? static_cast<size_t>(frame->len) : 0;
        if (r.bytes + n <= kMaxBytes) {
            const auto *p = static_cast<const uint8_t *>(frame->data);
            f.bytes.assign(p, p + n);
            r.bytes += n;
        } else {
            f.bytes_dropped = true;
        }
        r.frames.push_back(std::move(f));
    }
    return r.result;
}

extern "C" int sdk_porting_event_push(int event_type)
{
    using namespace portdouble;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    Record &r = record();
    std::lock_guard<std::mutex> l(r.lock);
    if (r.events.size() < kMaxRecords) {
        r.events.push_back(event_type);
        r.event_times_us.push_back(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
    }
    return r.result;
}
