// Field by field as a player expects them: a 16.16 unity matrix, "und" language, empty sample tables
// and the parameter sets of the stream in the sample entry.
#include "fmp4_moov.h"

#include <string.h>

namespace fmp4 {

namespace {

constexpr uint32_t kMacEpochOffset = 2082844800; // 1904-01-01 to 1970-01-01
constexpr uint32_t kMatrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};

void write_matrix(BoxWriter &w)
{
    for (uint32_t v : kMatrix)
        w.u32(v);
}

uint16_t packed_language(const char *lang)
{
    return static_cast<uint16_t>((lang[0] & 0x1F) << 10 | (lang[1] & 0x1F) << 5 | (lang[2] & 0x1F));
}

void visual_fields(BoxWriter &w, const VideoParams &v)
{
    w.zeros(6);
    w.u16(1); // data reference index
    w.zeros(16);
    w.u16(v.width);
    w.u16(v.height);
    w.u32(0x00480000);
    w.u32(0x00480000);
    w.u32(0);
    w.u16(1); // frame count
    w.zeros(32);
    w.u16(24);
    w.u16(0xFFFF);
}

void audio_fields(BoxWriter &w, uint16_t sample_size, uint32_t rate)
{
    w.zeros(6);
    w.u16(1);
    w.zeros(8);
    w.u16(1); // channel count
    w.u16(sample_size);
    w.u32(0);
    w.u32(rate << 16);
}

void param_array(BoxWriter &w, uint8_t type, const ParamSetList *list)
{
    w.u8(type);
    w.u16(static_cast<uint16_t>(list ? list->count() : 0));
    if (list)
        w.bytes(list->bytes().data(), list->bytes().size());
}

void trex(BoxWriter &w, uint32_t track_id, uint32_t duration)
{
    w.open_full("trex", 0, 0);
    w.u32(track_id);
    w.u32(1);
    w.u32(duration);
    w.u32(0);
    w.u32(0);
    w.close();
}

void empty_table(BoxWriter &w, const char *type)
{
    w.open_full(type, 0, 0);
    w.u32(0);
    w.close();
}

void trak(BoxWriter &w, const MoovParams &p, bool video)
{
    TrakHeader t;
    t.video = video;
    t.track_id = video ? 1 : 2;
    t.unix_time = p.unix_time;
    t.time_scale = video ? p.video_time_scale : p.audio_time_scale;
    t.width = p.video.width;
    t.height = p.video.height;
    open_trak(w, t);
    if (video)
        write_video_sample_entry(w, p.video);
    else
        write_audio_sample_entry(w, p.audio);
    w.close(); // stsd
    empty_table(w, "stts");
    w.open_full("stsz", 0, 0);
    w.u32(0);
    w.u32(0);
    w.close();
    empty_table(w, "stsc");
    empty_table(w, "stco");
    if (!video)
        empty_table(w, "stss");
    close_trak(w);
}

} // namespace

void open_trak(BoxWriter &w, const TrakHeader &t)
{
    const uint32_t mac_time = static_cast<uint32_t>(t.unix_time + kMacEpochOffset);
    const bool video = t.video;
    w.open("trak");
    w.open_full("tkhd", 0, 1);
    w.u32(mac_time);
    w.u32(mac_time);
    w.u32(t.track_id);
    w.u32(0);
    w.u32(t.movie_duration);
    w.zeros(8);
    w.u16(0); // layer
    w.u16(0); // alternate group
    w.u16(video ? 0 : 0x0100);
    w.u16(0);
    write_matrix(w);
    w.u32(video ? static_cast<uint32_t>(t.width) << 16 : 0);
    w.u32(video ? static_cast<uint32_t>(t.height) << 16 : 0);
    w.close();

    w.open("mdia");
    w.open_full("mdhd", 0, 0);
    w.u32(mac_time);
    w.u32(mac_time);
    w.u32(t.time_scale);
    w.u32(t.media_duration);
    w.u16(packed_language("und"));
    w.u16(0);
    w.close();
    w.open_full("hdlr", 0, 0);
    w.u32(0);
    w.fourcc(video ? "vide" : "soun");
    w.zeros(12);
    const char *name = video ? "VideoHandler" : "SoundHandler";
    w.bytes(name, strlen(name) + 1);
    w.close();

    w.open("minf");
    if (video) {
        w.open_full("vmhd", 0, 1);
        w.zeros(8);
    } else {
        w.open_full("smhd", 0, 0);
        w.zeros(4);
    }
    w.close();
    w.open("dinf");
    w.open_full("dref", 0, 0);
    w.u32(1);
    w.open_full("url ", 0, 1);
    w.close();
    w.close();
    w.close();

    w.open("stbl");
    w.open_full("stsd", 0, 0);
    w.u32(1);
}

void close_trak(BoxWriter &w)
{
    w.close(); // stbl
    w.close(); // minf
    w.close(); // mdia
    w.close(); // trak
}

void write_mvhd(BoxWriter &w, uint64_t unix_time, uint32_t time_scale, uint32_t duration)
{
    const uint32_t mac_time = static_cast<uint32_t>(unix_time + kMacEpochOffset);
    w.open_full("mvhd", 0, 0);
    w.u32(mac_time);
    w.u32(mac_time);
    w.u32(time_scale);
    w.u32(duration);
    w.u32(0x00010000);
    w.u16(0x0100);
    w.zeros(10);
    write_matrix(w);
    w.zeros(24);
    w.u32(3);
    w.close();
}

void build_head(uint8_t out[kHeadSize])
{
    BoxWriter w(out, kHeadSize);
    w.open("ftyp");
    w.fourcc("iso5");
    w.u32(512);
    w.fourcc("iso6");
    w.fourcc("mp41");
    w.close();
    w.open("free");
    w.zeros(128);
    w.close();
}

void write_video_sample_entry(BoxWriter &w, const VideoParams &v)
{
    if (v.codec == VideoCodec::h264) {
        w.open("avc1");
        visual_fields(w, v);
        w.open("avcC");
        w.u8(1);
        size_t sps_size = 0;
        const uint8_t *sps = v.sps ? v.sps->first(&sps_size) : nullptr;
        w.u8(sps && sps_size > 1 ? sps[1] : 0);
        w.u8(sps && sps_size > 2 ? sps[2] : 0);
        w.u8(sps && sps_size > 3 ? sps[3] : 0);
        w.u8(0xFF);
        w.u8(static_cast<uint8_t>(0xE0 | (v.sps ? v.sps->count() : 0)));
        if (v.sps)
            w.bytes(v.sps->bytes().data(), v.sps->bytes().size());
        w.u8(static_cast<uint8_t>(v.pps ? v.pps->count() : 0));
        if (v.pps)
            w.bytes(v.pps->bytes().data(), v.pps->bytes().size());
        w.close();
        w.close();
        return;
    }
    w.open("hvc1");
    visual_fields(w, v);
    w.open("hvcC");
    w.u8(1);
    w.u8(0x01);
    w.u32(0x60000000);
    w.zeros(6);
    w.u8(0); // level
    w.u16(0xF000);
    w.u8(0xFC);
    w.u8(0xFC);
    w.u8(0xF8);
    w.u8(0xF8);
    w.u16(0); // average frame rate
    w.u8(0x03);
    w.u8(3);
    param_array(w, 0xA0, v.vps);
    param_array(w, 0xA1, v.sps);
    param_array(w, 0xA2, v.pps);
    w.close();
    w.close();
}

void write_audio_sample_entry(BoxWriter &w, const AudioParams &a)
{
    if (a.codec == FMP4_CODEC_ALAW) {
        w.open("alaw");
        audio_fields(w, 16, a.sample_rate);
        w.close();
    } else if (a.codec == FMP4_CODEC_OPUS) {
        w.open("Opus");
        audio_fields(w, 0, a.sample_rate);
        w.open("dOps");
        w.u8(0);
        w.u8(1);
        w.u16(104);
        w.u32(a.sample_rate);
        w.u16(0);
        w.u8(0);
        w.close();
        w.close();
    }
}

void build_moov(BoxWriter &w, const MoovParams &p)
{
    w.open("moov");
    write_mvhd(w, p.unix_time, p.video_time_scale, 0);
    w.open("mvex");
    trex(w, 1, 0);
    trex(w, 2, p.audio_default_duration);
    w.close();
    trak(w, p, true);
    trak(w, p, false);
    w.close();
}

} // namespace fmp4
