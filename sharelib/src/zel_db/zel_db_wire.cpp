// Encoding and decoding of settings socket requests and reply heads.
#include "zel_db/zel_db_wire.h"

#include <algorithm>
#include <cstring>

namespace {

void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string field(const uint8_t *buf, size_t size, size_t offset, size_t width)
{
    if (offset >= size)
        return {};
    const auto *text = reinterpret_cast<const char *>(buf + offset);
    return std::string(text, strnlen(text, std::min(width, size - offset)));
}

void put_field(std::vector<uint8_t> &out, size_t offset, size_t width, const std::string &text)
{
    std::memcpy(out.data() + offset, text.data(), std::min(text.size(), width - 1));
}

} // namespace

zel_db_request_t zel_db_msg_parse(const uint8_t *buf, size_t size)
{
    zel_db_request_t req;
    if (size >= 4)
        req.op = get_le32(buf + ZEL_DB_MSG_OP);
    req.store = field(buf, size, ZEL_DB_MSG_STORE, 16);
    req.section = field(buf, size, ZEL_DB_MSG_SECTION, 32);
    req.key = field(buf, size, ZEL_DB_MSG_KEY, 64);
    req.value = field(buf, size, ZEL_DB_MSG_VALUE, ZEL_DB_MSG_MAX);
    if (size >= ZEL_DB_MSG_VALUE)
        req.length = get_le32(buf + ZEL_DB_MSG_LENGTH);
    return req;
}

std::vector<uint8_t> zel_db_msg_build(const zel_db_request_t &req)
{
    const bool with_value = req.op == ZEL_DB_OP_SET;
    std::vector<uint8_t> out(ZEL_DB_MSG_VALUE + (with_value ? req.value.size() + 1 : 0), 0);
    put_le32(out.data() + ZEL_DB_MSG_OP, req.op);
    put_field(out, ZEL_DB_MSG_STORE, 16, req.store);
    put_field(out, ZEL_DB_MSG_SECTION, 32, req.section);
    put_field(out, ZEL_DB_MSG_KEY, 64, req.key);
    if (with_value) {
        put_le32(out.data() + ZEL_DB_MSG_LENGTH, static_cast<uint32_t>(req.value.size() + 1));
        std::memcpy(out.data() + ZEL_DB_MSG_VALUE, req.value.data(), req.value.size());
    }
    return out;
}

std::vector<uint8_t> zel_db_msg_zero(size_t size)
{
    return std::vector<uint8_t>(size, 0);
}

void zel_db_reply_head_put(uint8_t out[ZEL_DB_REPLY_HEAD], uint32_t type, uint32_t length)
{
    put_le32(out, type);
    put_le32(out + 4, length);
}

void zel_db_reply_head_get(const uint8_t in[ZEL_DB_REPLY_HEAD], uint32_t *type, uint32_t *length)
{
    *type = get_le32(in);
    *length = get_le32(in + 4);
}
