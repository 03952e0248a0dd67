// Event-type names of a clip and codec names of its "metaJson".
#include <cstring>
#include <string>

#include "app/cloud/cloud_http.h"
#include "common/utils/ko_log.h"

namespace {

struct flag_name {
    uint32_t bits;
    const char *name;
};

constexpr flag_name kEventNames[] = {
    {0x4, "AI"},           {0x8000, "CameraBlocked"}, {0x10000, "KeyArea"},       {0x800, "FenceIn"},
    {0x1000, "FenceOut"},  {0x2000, "FencePass"},     {0x4000, "Boundary"},       {0x600, "Face"},
    {0x2, "PeopleMotion"}, {0x8, "BabyCry"},          {0x100, "Demolition"},      {0x10, "Stay"},
    {0x20, "Pass"},        {0x40, "Bell"},            {0x80, "BellVideo"},        {0x1, "ObjectMotion"},
    {0x20000, "CameraCalling"}, {0x40000, "Pet"},     {0x80000, "AbnormalSound"}, {0x100000, "CameraMoved"},
    {0x200000, "HumanFall"},    {0x400000, "Fire"},   {0x800000, "LouderSound"},
};

struct codec_name {
    int id;
    const char *name;
};

constexpr codec_name kCodecs[] = {{33, "h264"}, {35, "h265"}, {1032, "opus"}, {1027, "g711a"}, {1026, "g711u"}};

} // namespace

int parse_event_flag(uint32_t flags, char *out, int out_len)
{
    if (!out || out_len <= 0) {
        KO_LOGE(CLOUD_MODULE, "input param out_event_type_len id %d\n", out_len);
        return -1;
    }
    std::string names;
    for (const flag_name &f : kEventNames) {
        if (!(flags & f.bits))
            continue;
        if (!names.empty())
            names += ':';
        names += f.name;
    }
    if (names.size() >= static_cast<size_t>(out_len))
        return -1;
    std::memcpy(out, names.c_str(), names.size() + 1);
    return static_cast<int>(names.size());
}

const char *get_codec_name(int codec)
{
    for (const codec_name &c : kCodecs)
        if (c.id == codec)
            return c.name;
    KO_LOGE(CLOUD_MODULE, "codec type=%d, dosn't have name!\n", codec);
    return nullptr;
}
