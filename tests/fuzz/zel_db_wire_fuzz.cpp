// Feeds one settings socket read to the request decoder and the reply-head decoder, and checks that a
// decoded request encodes back to one that decodes the same (a field filling its whole width comes
// back cut by the encoder's NUL).
#include "zel_db/zel_db_wire.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > ZEL_DB_MSG_MAX)
        return -1;
    const zel_db_request_t req = zel_db_msg_parse(data, size);
    if (req.store.size() > 16 || req.section.size() > 32 || req.key.size() > 64 || req.value.size() > ZEL_DB_MSG_MAX)
        abort();
    const std::vector<uint8_t> again = zel_db_msg_build(req);
    const zel_db_request_t back = zel_db_msg_parse(again.data(), again.size());
    if (back.op != req.op || back.store != req.store.substr(0, 15) || back.section != req.section.substr(0, 31) ||
        back.key != req.key.substr(0, 63) ||
        (req.op == ZEL_DB_OP_SET && back.value != req.value))
        abort();
    if (size >= ZEL_DB_REPLY_HEAD) {
        uint32_t type = 0;
        uint32_t length = 0;
        zel_db_reply_head_get(data, &type, &length);
        uint8_t head[ZEL_DB_REPLY_HEAD];
        zel_db_reply_head_put(head, type, length);
        for (int i = 0; i < ZEL_DB_REPLY_HEAD; ++i)
            if (head[i] != data[i])
                abort();
    }
    return 0;
}
