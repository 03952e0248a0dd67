#include "app/ota/ko_ota_verify.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/ota/ko_ota_tag.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_crypto.h"

namespace {

constexpr const char *kModule = "ota";

struct Md5Closer {
    void operator()(zel_md5_ctx *c) const
    {
        uint8_t sink[ZEL_MD5_LEN];
        zel_crypto_md5_finish(c, sink);
    }
};
struct Sha256Closer {
    void operator()(zel_sha256_ctx *c) const { zel_crypto_sha256_close(c); }
};
struct ChainCloser {
    void operator()(zel_x509_chain *c) const { zel_crypto_chain_close(c); }
};

// major, minor, patch, build / 100, build % 100
using Version = std::array<unsigned, 5>;

bool parse_running(const char *text, Version *v)
{
    unsigned n[3], build;
    char sep[3];
    int used = 0;
    if (!text || std::sscanf(text, "%u%c%u%c%u%c%n", &n[0], &sep[0], &n[1], &sep[1], &n[2], &sep[2], &used) != 6)
        return false;
    for (char c : sep)
        if (c != '.' && c != '_')
            return false;
    const char *b = text + used;
    if (std::strlen(b) < 4 || std::sscanf(b, "%4u", &build) != 1)
        return false;
    *v = {n[0], n[1], n[2], build / 100, build % 100};
    return true;
}

Version image_version(std::string_view nv)
{
    const auto *p = reinterpret_cast<const uint8_t *>(nv.data());
    const unsigned build = p[3] | static_cast<unsigned>(p[4]) << 8;
    return {p[0], p[1], p[2], build / 100, build % 100};
}

bool equal_nocase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

} // namespace

struct ko_ota_verify {
    std::string root;
    std::string md5_hex;
    uint64_t total = 0;
    uint64_t received = 0;
    std::unique_ptr<zel_md5_ctx, Md5Closer> md5;
    std::unique_ptr<zel_sha256_ctx, Sha256Closer> sha;
    std::array<uint8_t, KO_OTA_VERIFY_TAIL> tail{};
    size_t tail_len = 0;
};

int ko_ota_verify_init(ko_ota_verify **out, const char *root_pem, size_t root_len, const char *md5_hex,
                       bool signed_file)
{
    if (!signed_file) {
        KO_LOGE(kModule, "signed_file is false.\n");
        return -2;
    }
    if (!out || !root_pem || root_len == 0 || root_len >= KO_OTA_ROOT_MAX) {
        KO_LOGE(kModule, "init failed, invalid param.\n");
        return -1;
    }
    if (*out) {
        KO_LOGE(kModule, "already init.\n");
        return -3;
    }
    auto v = std::make_unique<ko_ota_verify>();
    v->root.assign(root_pem, root_len);
    v->md5_hex = md5_hex ? md5_hex : "";
    v->md5.reset(zel_crypto_md5_open());
    v->sha.reset(zel_crypto_sha256_open());
    if (!v->md5 || !v->sha) {
        KO_LOGE(kModule, "init failed, no memory.\n");
        return -1;
    }
    *out = v.release();
    return 0;
}

void ko_ota_verify_free(ko_ota_verify *v)
{
    delete v;
}

void ko_ota_verify_set_total(ko_ota_verify *v, uint64_t total)
{
    if (v)
        v->total = total;
}

uint64_t ko_ota_verify_received(const ko_ota_verify *v)
{
    return v ? v->received : 0;
}

size_t ko_ota_verify_update(ko_ota_verify *v, const uint8_t *data, size_t len, ko_ota_payload_fn payload, void *user)
{
    if (!v || !data || v->received >= v->total)
        return 0;
    len = static_cast<size_t>(std::min<uint64_t>(len, v->total - v->received));
    zel_crypto_md5_update(v->md5.get(), data, len);
    v->received += len;
    const size_t keep = v->tail.size();
    // What leaves the tail: the oldest tail bytes first, then the oldest of the new bytes.
    const size_t overflow = v->tail_len + len > keep ? v->tail_len + len - keep : 0;
    const size_t from_tail = std::min(overflow, v->tail_len);
    if (from_tail) {
        zel_crypto_sha256_update(v->sha.get(), v->tail.data(), from_tail);
        if (payload)
            payload(v->tail.data(), from_tail, user);
        std::memmove(v->tail.data(), v->tail.data() + from_tail, v->tail_len - from_tail);
        v->tail_len -= from_tail;
    }
    const size_t from_data = overflow - from_tail;
    if (from_data) {
        zel_crypto_sha256_update(v->sha.get(), data, from_data);
        if (payload)
            payload(data, from_data, user);
    }
    std::memcpy(v->tail.data() + v->tail_len, data + from_data, len - from_data);
    v->tail_len += len - from_data;
    return len;
}

namespace {

long long check_signature(const ko_ota_verify &v, const ko_ota_tag &tag, const uint8_t digest[ZEL_SHA256_LEN])
{
    int err = 0;
    const std::unique_ptr<zel_x509_chain, ChainCloser> chain(zel_crypto_chain_open(v.root.data(), v.root.size(), &err));
    if (!chain) {
        KO_LOGE(kModule, "verify root cert is not valid!%d\n", err);
        return KO_OTA_VERIFY_ERR_SIGN;
    }
    for (std::string_view pem : {tag.issuer_pem, tag.signer_pem}) {
        const int rc = zel_crypto_chain_add(chain.get(), pem.data(), pem.size(), &err);
        if (rc == -1) {
            KO_LOGE(kModule, "pem are not valid! %d\n", err);
            return KO_OTA_VERIFY_ERR_SIGN;
        }
        if (rc != 0) {
            KO_LOGE(kModule, "pems verify failed[%d]...\n", err);
            return KO_OTA_VERIFY_ERR_SIGN;
        }
    }
    char org[256];
    const bool has_org = zel_crypto_chain_organisation(chain.get(), org, sizeof org) == 0;
    const std::string_view o = has_org ? org : "";
    if (!has_org || !(equal_nocase(o.substr(0, 5), "dorvi") || equal_nocase(o, tag.model))) {
        KO_LOGE(kModule, "invalid org...%s\n", org);
        return KO_OTA_VERIFY_ERR_SIGN;
    }
    KO_LOGI(kModule, "verify org ...%s\n", org);
    if (zel_crypto_chain_verify_sha256(chain.get(), digest, reinterpret_cast<const uint8_t *>(tag.signature.data()),
                                       tag.signature.size()) != 0) {
        KO_LOGE(kModule, "verify sign err...\n");
        return KO_OTA_VERIFY_ERR_SIGN;
    }
    KO_LOGI(kModule, "verify sign...ok\n");
    return 0;
}

} // namespace

long long ko_ota_verify_finish(ko_ota_verify *v, const ko_ota_expect *expect, ko_ota_payload_fn payload, void *user)
{
    if (!v || !expect) {
        KO_LOGE(kModule, "Can't do verify.\n");
        return KO_OTA_VERIFY_ERR_PARAM;
    }
    uint8_t md5[ZEL_MD5_LEN];
    zel_crypto_md5_finish(v->md5.release(), md5);
    char md5_hex[2 * ZEL_MD5_LEN + 1];
    for (size_t i = 0; i < ZEL_MD5_LEN; ++i)
        std::snprintf(md5_hex + 2 * i, 3, "%02x", md5[i]);
    if (!equal_nocase(md5_hex, v->md5_hex))
        KO_LOGW(kModule, "md5 vertify failed: computed md5 is \"%s\", original md5 is \"%s\"\n", md5_hex,
                v->md5_hex.c_str());

    const long at = v->received == v->total ? ko_ota_tag_find(v->tail.data(), v->tail_len) : -1;
    if (at < 0) {
        KO_LOGE(kModule, "ota parse error.\n");
        return KO_OTA_VERIFY_ERR_TAG;
    }
    ko_ota_tag tag;
    if (ko_ota_tag_parse(v->tail.data() + at, v->tail_len - static_cast<size_t>(at), &tag) != 0)
        return KO_OTA_VERIFY_ERR_TAG;
    if (payload && at > 0)
        payload(v->tail.data(), static_cast<size_t>(at), user);

    const std::string_view running_model = expect->model ? expect->model : "";
    KO_LOGI(kModule, "ota model:%.*s, g_model:%s\n", static_cast<int>(tag.model.size()), tag.model.data(),
            running_model.data());
    if (tag.model.empty() || (!running_model.empty() && tag.model != running_model)) {
        KO_LOGE(kModule, "ota model error, model:%.*s\n", static_cast<int>(tag.model.size()), tag.model.data());
        return KO_OTA_VERIFY_ERR_MODEL;
    }
    Version running;
    if (tag.new_ver.empty() ||
        (!expect->allow_downgrade && parse_running(expect->fw_ver, &running) && image_version(tag.new_ver) < running)) {
        KO_LOGE(kModule, "less than current version.\n");
        return KO_OTA_VERIFY_ERR_VERSION;
    }

    // The signature covers the image up to the first certificate.
    const size_t signed_tail = static_cast<size_t>(at) + tag.head_len;
    uint8_t digest[ZEL_SHA256_LEN];
    zel_crypto_sha256_update(v->sha.get(), v->tail.data(), signed_tail);
    zel_crypto_sha256_finish(v->sha.release(), digest);
    if (tag.signature.empty()) {
        KO_LOGE(kModule, "verify failed.\n");
        return KO_OTA_VERIFY_ERR_SIGN;
    }
    const long long rc = check_signature(*v, tag, digest);
    if (rc != 0)
        return rc;
    KO_LOGI(kModule, "verify success.\n");
    return static_cast<long long>(v->total - (v->tail_len - static_cast<size_t>(at)));
}
