// The box writer: every field goes through room(), so a box that would overflow its buffer marks the
// writer failed and the caller discards the whole result.
#include "fmp4_box.h"

#include <string.h>

#include "common/utils/ko_log.h"

namespace fmp4 {

namespace {
constexpr const char *kModule = "fmp4";
}

bool BoxWriter::room(size_t n)
{
    if (!ok_)
        return false;
    if (n > cap_ - len_) {
        KO_LOGE(kModule, "write _box buffer full %zd %zd", len_ + n, cap_);
        ok_ = false;
        return false;
    }
    return true;
}

void BoxWriter::u8(uint8_t v)
{
    if (room(1))
        buf_[len_++] = v;
}

void BoxWriter::u16(uint16_t v)
{
    if (room(2)) {
        put_be16(buf_ + len_, v);
        len_ += 2;
    }
}

void BoxWriter::u24(uint32_t v)
{
    if (room(3)) {
        buf_[len_] = static_cast<uint8_t>(v >> 16);
        buf_[len_ + 1] = static_cast<uint8_t>(v >> 8);
        buf_[len_ + 2] = static_cast<uint8_t>(v);
        len_ += 3;
    }
}

void BoxWriter::u32(uint32_t v)
{
    if (room(4)) {
        put_be32(buf_ + len_, v);
        len_ += 4;
    }
}

void BoxWriter::u64(uint64_t v)
{
    if (room(8)) {
        put_be64(buf_ + len_, v);
        len_ += 8;
    }
}

void BoxWriter::bytes(const void *data, size_t n)
{
    if (n && room(n)) {
        memcpy(buf_ + len_, data, n);
        len_ += n;
    }
}

void BoxWriter::zeros(size_t n)
{
    if (n && room(n)) {
        memset(buf_ + len_, 0, n);
        len_ += n;
    }
}

void BoxWriter::fourcc(const char *type) { bytes(type, 4); }

void BoxWriter::open(const char *type)
{
    if (depth_ == kMaxDepth) {
        KO_LOGE(kModule, "write _box nesting too deep");
        ok_ = false;
        return;
    }
    stack_[depth_++] = len_;
    u32(0);
    fourcc(type);
}

void BoxWriter::open_full(const char *type, uint8_t version, uint32_t flags)
{
    open(type);
    u8(version);
    u24(flags);
}

void BoxWriter::close()
{
    if (depth_ == 0) {
        KO_LOGE(kModule, "stack is empty");
        KO_LOGE(kModule, "pop stack failed!");
        ok_ = false;
        return;
    }
    const size_t start = stack_[--depth_];
    if (ok_)
        put_be32(buf_ + start, static_cast<uint32_t>(len_ - start));
}

} // namespace fmp4
