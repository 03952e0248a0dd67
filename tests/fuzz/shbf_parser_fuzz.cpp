// Fuzzes the shared-buffer receiver's frame reader: any byte stream, cut anywhere, gives whole frames
// within the size limit or a refusal, never a read or an allocation beyond it.
#include <stddef.h>
#include <stdint.h>

#include "shbf_wire.h"

namespace {

void sink(shbf_frame_t *f, void *ctx)
{
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < f->length; i++)
        sum += f->data[i];
    *static_cast<size_t *>(ctx) += f->length + sum * 0;
    shbf_free(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte picks the chunk size the stream is cut into, the second the size limit.
    size_t chunk = data[0] % 37 + 1;
    shbf::Parser parser(static_cast<uint32_t>(data[1]) * 64);
    size_t total = 0;
    for (size_t at = 2; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        if (parser.feed(data + at, n, sink, &total) != 0)
            break;
    }
    return 0;
}
