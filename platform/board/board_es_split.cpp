// Access-unit boundaries of Annex-B streams, found from NAL unit types and the first-slice flag.
#include "board_es_split.h"

namespace board {

namespace {

struct Nal {
    size_t start;   // where a unit that opens with this NAL begins
    size_t payload; // first byte after the start code
};

// H.264 units begin with the zero_byte of a 4-byte start code, H.265 units with the 3-byte code
// (the zero_byte trails the unit before), as the common stream parsers cut them.
std::vector<Nal> find_nals(const uint8_t *d, size_t n, Codec codec)
{
    std::vector<Nal> nals;
    for (size_t i = 0; i + 3 <= n;) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            const size_t start = (codec == Codec::h264 && i > 0 && d[i - 1] == 0) ? i - 1 : i;
            nals.push_back({start, i + 3});
            i += 3;
        } else {
            ++i;
        }
    }
    return nals;
}

// For one NAL: whether it is a slice, whether it opens a new picture, whether it is a key picture,
// and whether it is a non-VCL unit that belongs in front of the next picture.
struct NalKind {
    bool vcl = false;
    bool first_slice = false;
    bool key = false;
    bool prefix = false;
};

NalKind classify(const uint8_t *p, size_t len, Codec codec)
{
    NalKind k;
    if (codec == Codec::h264) {
        if (len < 2)
            return k;
        const int type = p[0] & 0x1f;
        if (type == 1 || type == 5) {
            k.vcl = true;
            k.first_slice = (p[1] & 0x80) != 0; // first_mb_in_slice ue(v) == 0 is a single 1 bit
            k.key = type == 5;
        } else {
            k.prefix = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
        }
    } else {
        if (len < 3)
            return k;
        const int type = (p[0] >> 1) & 0x3f;
        if (type <= 31) {
            k.vcl = true;
            k.first_slice = (p[2] & 0x80) != 0; // first_slice_segment_in_pic_flag
            k.key = type >= 16 && type <= 23;
        } else {
            k.prefix = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                       (type >= 48 && type <= 55);
        }
    }
    return k;
}

} // namespace

std::vector<AccessUnit> split_access_units(const uint8_t *data, size_t size, Codec codec)
{
    std::vector<AccessUnit> units;
    const std::vector<Nal> nals = find_nals(data, size, codec);
    bool have_picture = false;  // the open unit already holds a slice
    size_t unit_start = 0;
    bool unit_key = false;
    size_t pending_prefix = size; // start of non-VCL units seen after the open unit's slices

    for (size_t i = 0; i < nals.size(); ++i) {
        const size_t end = i + 1 < nals.size() ? nals[i + 1].start : size;
        const NalKind k = classify(data + nals[i].payload, end - nals[i].payload, codec);
        if (k.prefix) {
            if (have_picture && pending_prefix == size)
                pending_prefix = nals[i].start;
            continue;
        }
        if (!k.vcl)
            continue;
        if (have_picture && (k.first_slice || pending_prefix != size)) {
            const size_t cut = pending_prefix != size ? pending_prefix : nals[i].start;
            units.push_back({unit_start, cut - unit_start, unit_key});
            unit_start = cut;
            unit_key = false;
        }
        have_picture = true;
        unit_key = unit_key || k.key;
        pending_prefix = size;
    }
    if (have_picture)
        units.push_back({unit_start, size - unit_start, unit_key});
    return units;
}

} // namespace board
