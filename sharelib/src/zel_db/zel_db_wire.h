// Byte layout of the settings socket: the 120-byte request head with its value text, and the
// 8-byte reply head; integers little-endian, texts NUL-terminated within their fields.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

enum {
    ZEL_DB_MSG_OP = 0,
    ZEL_DB_MSG_STORE = 4,      // 16 bytes
    ZEL_DB_MSG_SECTION = 20,   // 32 bytes
    ZEL_DB_MSG_KEY = 52,       // 64 bytes
    ZEL_DB_MSG_LENGTH = 116,   // value length plus one
    ZEL_DB_MSG_VALUE = 120,
    ZEL_DB_MSG_MAX = 1536,     // the server takes each read of up to this many bytes as one request
    ZEL_DB_REPLY_HEAD = 8,
};

static_assert(ZEL_DB_MSG_OP + 4 == ZEL_DB_MSG_STORE && ZEL_DB_MSG_STORE + 16 == ZEL_DB_MSG_SECTION &&
                  ZEL_DB_MSG_SECTION + 32 == ZEL_DB_MSG_KEY && ZEL_DB_MSG_KEY + 64 == ZEL_DB_MSG_LENGTH &&
                  ZEL_DB_MSG_LENGTH + 4 == ZEL_DB_MSG_VALUE && ZEL_DB_MSG_VALUE == 120,
              "the request head is 120 bytes: op, store, section, key, value length");
static_assert(ZEL_DB_REPLY_HEAD == 4 + 4, "the reply head is 8 bytes: type, length");

enum { ZEL_DB_OP_GET = 0, ZEL_DB_OP_SET = 1, ZEL_DB_OP_DUMP = 2, ZEL_DB_OP_SAVE = 3, ZEL_DB_OP_UNSET = 4 };
enum { ZEL_DB_REPLY_DONE = 0, ZEL_DB_REPLY_DATA = 1, ZEL_DB_REPLY_FAILED = 2 };

struct zel_db_request_t {
    uint32_t op = 0;
    std::string store;
    std::string section;
    std::string key;
    std::string value;
    uint32_t length = 0;  // the value's length plus one, as the sender gave it
};

// Reads a request of `size` bytes; fields shorter than their width or missing are empty.
zel_db_request_t zel_db_msg_parse(const uint8_t *buf, size_t size);
// The request bytes: the head, and for a set the value with its NUL. Texts are cut to their field.
std::vector<uint8_t> zel_db_msg_build(const zel_db_request_t &req);
// An all-zero request of `size` bytes (what the client sends for a key it has no row for).
std::vector<uint8_t> zel_db_msg_zero(size_t size);

void zel_db_reply_head_put(uint8_t out[ZEL_DB_REPLY_HEAD], uint32_t type, uint32_t length);
void zel_db_reply_head_get(const uint8_t in[ZEL_DB_REPLY_HEAD], uint32_t *type, uint32_t *length);
