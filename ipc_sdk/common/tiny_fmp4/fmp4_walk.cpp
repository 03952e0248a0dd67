#include "fmp4_walk.h"

#include <string.h>

#include "common/utils/ko_log.h"
#include "fmp4_box.h"

namespace fmp4 {

namespace {

constexpr const char *kModule = "fmp4";

bool check_header(const uint8_t *h, size_t have, uint64_t pos, uint64_t end, BoxRef *out)
{
    uint64_t size = be32(h);
    uint32_t header = 8;
    if (size == 1) {
        if (have < 16)
            return false;
        size = be64(h + 8);
        header = 16;
    } else if (size == 0) {
        size = end - pos; // runs to the end of its parent
    }
    memcpy(out->type, h + 4, 4);
    out->type[4] = 0;
    if (size < header || size > end - pos) {
        if (size < header)
            KO_LOGE(kModule, "err:invalid box size (broken file?)");
        else
            KO_LOGE(kModule, "wrong %c%c%c%c box size: broken file?", h[4], h[5], h[6], h[7]);
        return false;
    }
    out->pos = pos;
    out->size = size;
    out->header = header;
    return true;
}

} // namespace

bool read_at(FILE *fp, uint64_t pos, void *buf, size_t n)
{
    if (fseeko(fp, static_cast<off_t>(pos), SEEK_SET) != 0)
        return false;
    return fread(buf, 1, n, fp) == n;
}

bool read_box_header(FILE *fp, uint64_t pos, uint64_t end, BoxRef *out, bool *io_error)
{
    *io_error = false;
    if (end <= pos || end - pos < 8)
        return false;
    uint8_t h[16];
    const size_t want = end - pos >= 16 ? 16 : 8;
    if (!read_at(fp, pos, h, want)) {
        *io_error = ferror(fp) != 0;
        return false;
    }
    return check_header(h, want, pos, end, out);
}

bool parse_box_header(const uint8_t *buf, size_t pos, size_t end, BoxRef *out)
{
    if (end <= pos || end - pos < 8)
        return false;
    return check_header(buf + pos, end - pos, pos, end, out);
}

WalkResult walk_file(FILE *fp, uint64_t start, uint64_t end, const std::function<bool(const BoxRef &)> &visit)
{
    uint64_t pos = start;
    while (pos < end) {
        BoxRef box;
        bool io_error = false;
        if (!read_box_header(fp, pos, end, &box, &io_error))
            return io_error ? WalkResult::io_error : WalkResult::broken;
        if (!visit(box))
            return WalkResult::done;
        pos += box.size;
    }
    return WalkResult::done;
}

WalkResult walk_buffer(const uint8_t *buf, size_t start, size_t end,
                       const std::function<bool(const BoxRef &)> &visit)
{
    size_t pos = start;
    while (pos < end) {
        BoxRef box;
        if (!parse_box_header(buf, pos, end, &box))
            return WalkResult::broken;
        if (!visit(box))
            return WalkResult::done;
        pos += static_cast<size_t>(box.size);
    }
    return WalkResult::done;
}

} // namespace fmp4
