// The signing tag at the end of a firmware image: its magic, where it starts and what it holds.
// Pure functions over a buffer; every offset is checked against the buffer.
//
// Tag layout (little-endian): 16-byte magic; u16 header length at 16; u32 at 20, the bytes from the
// tag to the end of the image; TLV fields (type, length, value) from 28 to header length - 4; a
// 32-bit word; two PEM certificates (the issuer, then the signer); one separator byte; the signature
// to the end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>

inline constexpr size_t KO_OTA_TAG_MAGIC_LEN = 16;
inline constexpr uint8_t KO_OTA_TAG_MAGIC[KO_OTA_TAG_MAGIC_LEN] = {0, 0, 0, 0, 'K', 'O', 0xEF, 'T',
                                                                    'F', 'O', 'T', 'A', 0x82, 0x56, 0x26, 0x47};
inline constexpr size_t KO_OTA_TAG_HEAD_MIN = 32;
inline constexpr size_t KO_OTA_NEW_VER_LEN = 5;

enum ko_ota_tag_field { KO_OTA_TAG_NEW_VER = 1, KO_OTA_TAG_OLD_VER = 2, KO_OTA_TAG_SIGN_TYPE = 3,
                        KO_OTA_TAG_MODEL = 4, KO_OTA_TAG_PID = 5 };

// Views into the buffer given to ko_ota_tag_parse; an absent field is empty.
struct ko_ota_tag {
    size_t head_len = 0;
    std::string_view new_ver; // 5 bytes when present
    std::string_view model;
    std::string_view issuer_pem; // "-----BEGIN CERTIFICATE-----" to the end marker, both included
    std::string_view signer_pem;
    std::string_view signature;
};

// The offset in `buf` of the tag whose length field equals its distance to the end of `buf`, the last
// such candidate; -1 when there is none.
long ko_ota_tag_find(const uint8_t *buf, size_t len);

// Parses the tag that fills `tag` .. `tag + len`: 0; -1 for a wrong magic or length field ("there
// isn't ota_tag."); -2 for a header or a field out of bounds or a new_ver that is not 5 bytes
// ("tag_tlv_parse err."); -3 for missing certificates or signature ("No CERT_START.").
int ko_ota_tag_parse(const uint8_t *tag, size_t len, ko_ota_tag *out);
