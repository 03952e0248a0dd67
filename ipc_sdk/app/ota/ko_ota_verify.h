// The streaming verifier of a firmware image: it hashes the bytes as they arrive, keeps the last 4096
// in a tail buffer (where the signing tag must lie), hands on the bytes that leave the tail (payload
// by then), and at the end checks the MD5, the tag, model, version, certificate chain, organisation
// and signature.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr size_t KO_OTA_VERIFY_TAIL = 4096;
inline constexpr size_t KO_OTA_ROOT_MAX = 1024; // a root certificate of this size or more is refused

// Takes payload bytes in order; they are handed on exactly once.
typedef void (*ko_ota_payload_fn)(const uint8_t *data, size_t len, void *user);

// What the image must match.
struct ko_ota_expect {
    const char *model;    // the running model; the image's must equal it unless empty
    const char *fw_ver;   // the running version "%d.%d.%d_%04d"; unparsable: no version check
    bool allow_downgrade; // an older image is taken
};

enum {
    KO_OTA_VERIFY_ERR_PARAM = -1,     // no output place ("Can't do verify.")
    KO_OTA_VERIFY_ERR_TAG = -3,       // no tag, or one that does not parse
    KO_OTA_VERIFY_ERR_SIGN = -4,      // chain, organisation or signature ("verify failed.")
    KO_OTA_VERIFY_ERR_MODEL = -30,    // no model field, or another model
    KO_OTA_VERIFY_ERR_VERSION = -31,  // no new_ver field, or older than the running version
};

typedef struct ko_ota_verify ko_ota_verify;

// 0 and a verifier in `*out`; -1 without a root, or one of KO_OTA_ROOT_MAX bytes or more ("init failed,
// invalid param."); -2 when the image is not signed ("signed_file is false."); -3 when `*out` already
// holds one ("already init.").
int ko_ota_verify_init(ko_ota_verify **out, const char *root_pem, size_t root_len, const char *md5_hex,
                       bool signed_file);
void ko_ota_verify_free(ko_ota_verify *v);

// The image's total length (Content-Length); bytes past it are ignored.
void ko_ota_verify_set_total(ko_ota_verify *v, uint64_t total);
uint64_t ko_ota_verify_received(const ko_ota_verify *v);

// Takes the next `len` bytes of the image; bytes that leave the tail go to `payload`. Returns the
// bytes taken (fewer than `len` past the total).
size_t ko_ota_verify_update(ko_ota_verify *v, const uint8_t *data, size_t len, ko_ota_payload_fn payload,
                            void *user);

// Once the total is received: hands the payload still in the tail to `payload` (only when the image
// has a tag) and verifies. The payload length, or a KO_OTA_VERIFY_ERR_* code.
long long ko_ota_verify_finish(ko_ota_verify *v, const ko_ota_expect *expect, ko_ota_payload_fn payload,
                               void *user);
