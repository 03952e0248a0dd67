#include "fmp4_index.h"

#include <string.h>

#include "fmp4_box.h"

namespace fmp4 {

const uint8_t kIndexUserType[16] = {'t', 'o', 'l', 'k', '_', 'i', 'n', 'd', 'e', 'x', 0, 0, 0, 0, 0, 0};

void encode_index_entry(const fmp4_index_entry_t &e, uint8_t out[FMP4_INDEX_ENTRY_SIZE])
{
    memset(out, 0, FMP4_INDEX_ENTRY_SIZE);
    out[0] = e.channel;
    put_le32(out + 4, e.start);
    out[8] = e.duration;
    out[9] = e.motion;
    out[10] = e.extra;
    out[11] = e.flags;
    put_le32(out + 12, e.position);
    put_le32(out + 16, e.length);
}

fmp4_index_entry_t decode_index_entry(const uint8_t in[FMP4_INDEX_ENTRY_SIZE])
{
    fmp4_index_entry_t e{};
    e.channel = in[0];
    e.start = le32(in + 4);
    e.duration = in[8];
    e.motion = in[9];
    e.extra = in[10];
    e.flags = in[11];
    e.position = le32(in + 12);
    e.length = le32(in + 16);
    return e;
}

void build_index_box(const fmp4_index_entry_t &e, uint8_t out[FMP4_INDEX_BOX_SIZE])
{
    put_box_header(out, FMP4_INDEX_BOX_SIZE, "uuid");
    memcpy(out + 8, kIndexUserType, sizeof kIndexUserType);
    encode_index_entry(e, out + kIndexEntryOffset);
}

} // namespace fmp4
