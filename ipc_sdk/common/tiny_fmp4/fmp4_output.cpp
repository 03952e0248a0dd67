#include "fmp4_output.h"

#include <errno.h>

#include "app/record/sd_file.h"
#include "app/record/sd_io.h"
#include "common/utils/ko_log.h"
#include "fmp4_box.h"

namespace fmp4 {

namespace {
constexpr const char *kModule = "fmp4";
}

int Output::fail(const char *what)
{
    const int err = errno ? errno : EIO;
    if (fp_ && ferror(fp_)) {
        KO_LOGE(kModule, "sdcare exit %s", what);
        gone_ = true;
    }
    at_ = UINT64_MAX;
    return _get_system_err(SD_ERR_WRITE, err);
}

int Output::write_at(uint64_t pos, const void *data, size_t n)
{
    if (gone_ || !fp_)
        return -1;
    if (n > size_ || pos > size_ - n) {
        KO_LOGE(kModule, "write of %zu bytes at %llu passes the file size %llu", n,
                static_cast<unsigned long long>(pos), static_cast<unsigned long long>(size_));
        return -3;
    }
    if (at_ != pos && fseeko(fp_, static_cast<off_t>(pos), SEEK_SET) != 0)
        return fail("seek");
    at_ = pos;
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < n) {
        const size_t w = fwrite(p + done, 1, n - done, fp_);
        if (w == 0)
            return fail("write");
        done += w;
    }
    at_ += n;
    return 0;
}

int Output::read_at(uint64_t pos, void *data, size_t n)
{
    if (gone_ || !fp_)
        return -1;
    if (n > size_ || pos > size_ - n)
        return -3;
    at_ = UINT64_MAX;
    if (fseeko(fp_, static_cast<off_t>(pos), SEEK_SET) != 0 || fread(data, 1, n, fp_) != n)
        return fail("read");
    at_ = pos + n;
    return 0;
}

int Output::put_tail(uint64_t pos)
{
    if (pos > size_ || size_ - pos < 8 || size_ - pos > UINT32_MAX)
        return -3;
    uint8_t h[8];
    put_box_header(h, static_cast<uint32_t>(size_ - pos), "mdat");
    return write_at(pos, h, sizeof h);
}

int Output::put_box(uint64_t pos, const uint8_t *box, size_t n)
{
    if (n < 8)
        return -1;
    int rc = put_tail(pos + n);
    if (rc == 0)
        rc = write_at(pos + 8, box + 8, n - 8);
    if (rc == 0)
        rc = write_at(pos, box, 8);
    return rc;
}

int Output::sync()
{
    if (gone_ || !fp_)
        return -1;
    if (sd_io_sync(fp_) != 0)
        return fail("sync");
    return 0;
}

int Output::close()
{
    if (!fp_)
        return 0;
    const int rc = _close_file(fp_);
    fp_ = nullptr;
    return rc;
}

} // namespace fmp4
