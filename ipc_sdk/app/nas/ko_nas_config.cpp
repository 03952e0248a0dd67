// The NAS configuration record's byte layout (see ko_nas_config.h).
#include "app/nas/ko_nas_config.h"

namespace {

void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

constexpr int kWords = 7;
static_assert(kWords * 4 == KO_NAS_CONFIG_LEN, "the stored record is seven 32-bit words");

} // namespace

void ko_nas_config_encode(const ko_nas_record &rec, uint8_t out[KO_NAS_CONFIG_LEN])
{
    put32(out, static_cast<uint32_t>(rec.state));
    put32(out + 4, static_cast<uint32_t>(rec.error));
    put32(out + 8, static_cast<uint32_t>(rec.type));
    put32(out + 12, static_cast<uint32_t>(rec.interval));
    put32(out + 16, static_cast<uint32_t>(rec.retention));
    put32(out + 20, static_cast<uint32_t>(rec.last_sync > UINT32_MAX ? UINT32_MAX : rec.last_sync));
    put32(out + 24, 0);
}

int ko_nas_config_decode(const uint8_t *in, size_t len, ko_nas_record *rec)
{
    if (!in || !rec || len != KO_NAS_CONFIG_LEN)
        return -1;
    ko_nas_record out;
    out.state = static_cast<int32_t>(get32(in));
    out.error = static_cast<int32_t>(get32(in + 4));
    out.type = static_cast<int32_t>(get32(in + 8));
    out.interval = static_cast<int32_t>(get32(in + 12));
    out.retention = static_cast<int32_t>(get32(in + 16));
    out.last_sync = get32(in + 20);
    if (out.state < 0 || out.state > 4 || out.interval < 0 || out.retention < 0)
        return -1;
    *rec = out;
    return 0;
}
