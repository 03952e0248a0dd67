// Fuzzes the check a ring reader makes of a block written by another process: whatever the header
// and entries claim, every accepted read stays inside the block.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "zel_formal_stream2/zel_ring_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (auto kind : {zel_ring::Kind::shared, zel_ring::Kind::prerecord}) {
        std::vector<uint8_t> block(data, data + size); // exactly as long as the input, so ASan sees overruns
        zel_ring::View v;
        zel_ring::State s;
        if (!zel_ring::check_header(block.data(), block.size(), kind, &v) || !zel_ring::read_state(v, &s))
            continue;
        std::vector<uint8_t> copy;
        for (uint32_t k = 0; k < s.count; k++) {
            zel_ring::Entry e = zel_ring::read_entry(v, zel_ring::index_of(v, s, k));
            if (zel_ring::entry_fits(v, e))
                copy.assign(v.data() + e.offset, v.data() + e.offset + e.header_len + e.payload_len);
        }
        bool found;
        zel_ring::find_sequence(v, s, s.sequence ? s.sequence - 1 : 0);
        zel_ring::start_sequence(v, s, 1000, &found);
        if (zel_ring::check_entries(v, s)) // a ring the producer would adopt takes frames safely
            zel_ring::put(v, 0, 1, 1, "hd", 2, "payload", 7);
    }
    return 0;
}
