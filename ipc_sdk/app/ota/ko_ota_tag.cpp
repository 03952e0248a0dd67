#include "app/ota/ko_ota_tag.h"

#include <cstring>

#include "common/utils/ko_log.h"
#include "zelmar/zel_le.h"

namespace {

constexpr const char *kModule = "ota";
constexpr std::string_view kCertStart = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kCertEnd = "-----END CERTIFICATE-----";

bool magic_at(const uint8_t *p) { return std::memcmp(p, KO_OTA_TAG_MAGIC, KO_OTA_TAG_MAGIC_LEN) == 0; }

// One PEM certificate of `text` starting at or after `from`; npos when there is none.
size_t cert_at(std::string_view text, size_t from, std::string_view *cert)
{
    const size_t start = text.find(kCertStart, from);
    if (start == std::string_view::npos)
        return start;
    const size_t end = text.find(kCertEnd, start + kCertStart.size());
    if (end == std::string_view::npos)
        return end;
    *cert = text.substr(start, end + kCertEnd.size() - start);
    return end + kCertEnd.size();
}

} // namespace

long ko_ota_tag_find(const uint8_t *buf, size_t len)
{
    if (!buf || len < KO_OTA_TAG_HEAD_MIN)
        return -1;
    for (size_t at = len - KO_OTA_TAG_HEAD_MIN + 1; at-- > 0;) {
        if (!magic_at(buf + at))
            continue;
        if (zel_get_le32(buf + at + 20) == len - at) {
            KO_LOGI(kModule, "verify find tag ok.\n");
            return static_cast<long>(at);
        }
        KO_LOGW(kModule, "verify find invalid tag, continue.\n");
    }
    return -1;
}

int ko_ota_tag_parse(const uint8_t *tag, size_t len, ko_ota_tag *out)
{
    if (!tag || !out || len < KO_OTA_TAG_HEAD_MIN || !magic_at(tag) || zel_get_le32(tag + 20) != len) {
        KO_LOGE(kModule, "there isn't ota_tag.\n");
        return -1;
    }
    *out = ko_ota_tag{};
    const size_t head_len = zel_get_le16(tag + 16);
    if (head_len < KO_OTA_TAG_HEAD_MIN || head_len > len) {
        KO_LOGE(kModule, "tag_tlv_parse err.\n");
        return -2;
    }
    out->head_len = head_len;
    const size_t fields_end = head_len - 4;
    for (size_t at = 28; at < fields_end;) {
        if (fields_end - at < 2 || tag[at + 1] > fields_end - at - 2) {
            KO_LOGE(kModule, "tag_tlv_parse err.\n");
            return -2;
        }
        const std::string_view value(reinterpret_cast<const char *>(tag + at + 2), tag[at + 1]);
        if (tag[at] == KO_OTA_TAG_NEW_VER) {
            if (value.size() != KO_OTA_NEW_VER_LEN) {
                KO_LOGE(kModule, "tag_tlv_parse err.\n");
                return -2;
            }
            out->new_ver = value;
        } else if (tag[at] == KO_OTA_TAG_MODEL) {
            out->model = value;
        }
        at += 2 + value.size();
    }
    const std::string_view text(reinterpret_cast<const char *>(tag), len);
    size_t end = cert_at(text, head_len, &out->issuer_pem);
    if (end != std::string_view::npos)
        end = cert_at(text, end, &out->signer_pem);
    // One separator byte follows the signer's end marker; the signature runs to the end.
    if (end == std::string_view::npos || out->issuer_pem.data() != text.data() + head_len || len - end < 2) {
        KO_LOGE(kModule, "No CERT_START.\n");
        return -3;
    }
    out->signature = text.substr(end + 1);
    return 0;
}
