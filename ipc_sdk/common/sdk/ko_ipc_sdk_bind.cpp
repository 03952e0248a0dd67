// Pairing: the bind information text the phone app hands over ("b", "t", "r", "s", "p" pairs,
// percent-encoded, SSID and password in base64, the password scrambled) and the
// "local.ble.config_router" request built from it.
#include <cerrno>
#include <cstring>

#include "common/ipc/ko_message.h"
#include "common/sdk/ko_sdk_internal.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_util.h"
#include "common/utils/vexa_base64.h"

namespace {

constexpr char kPasswdKey[] = "Qw7ZrT2mKp9VbN4xLc6HdS1fGj8YtE3uRn5WqA0zXo2PkM7sVe4BiU9hCy6DlF1gJa8TwZ";
constexpr size_t kPasswdKeyLen = sizeof kPasswdKey - 1; // 70
constexpr size_t kEncodedMax = 128;

// Copies the value of `key` into out (at most size - 1 bytes, %XX decoded, not terminated): the
// bytes written plus one, 1 for an empty value, -1 when the key is absent or a "%" is malformed.
int url_get_field(const char *text, const char *key, char *out, size_t size)
{
    const size_t text_len = std::strlen(text);
    const size_t key_len = std::strlen(key);
    size_t pos;
    if (std::strncmp(text, key, key_len) == 0) {
        pos = 0;
    } else {
        const std::string pattern = std::string("&") + key + "=";
        const char *found = std::strstr(text, pattern.c_str());
        if (!found) {
            KO_LOGI(KO_IPC_MODULE, "str match %s error\n", key);
            return -1;
        }
        pos = static_cast<size_t>(found - text) + 1;
    }
    const size_t start = pos + key_len + 1 < text_len ? pos + key_len + 1 : text_len;
    const char *amp = std::strchr(text + start, '&');
    const size_t end = amp ? static_cast<size_t>(amp - text) : text_len;
    if (start >= end)
        return 1;
    size_t written = 0;
    for (size_t i = start; i < end && written + 1 < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= end || ko_str2hex_bin(text + i + 1, 2, &c, 1) != 1) {
                errno = EINVAL;
                return -1;
            }
            i += 2;
        }
        out[written++] = static_cast<char>(c);
    }
    return static_cast<int>(written) + 1;
}

// Takes field `key` as base64 into out, at most size - 1 bytes, terminated: the byte count or -1.
int base64_field(const char *text, const char *key, char *out, size_t size)
{
    char encoded[kEncodedMax] = {};
    if (url_get_field(text, key, encoded, sizeof encoded) < 0)
        return -1;
    unsigned char decoded[kEncodedMax];
    const unsigned n = vexa_base64_decode(encoded, static_cast<unsigned>(std::strlen(encoded)), decoded, sizeof decoded);
    if (n == static_cast<unsigned>(-1))
        return -1;
    const size_t kept = n < size - 1 ? n : size - 1;
    std::memcpy(out, decoded, kept);
    out[kept] = '\0';
    return static_cast<int>(kept);
}

} // namespace

extern "C" int ko_ipc_bind_info_decode(const char *text, ko_bind_info *out)
{
    if (!text || !out) {
        KO_LOGE(KO_IPC_MODULE, "invalid param %p\n", static_cast<const void *>(text));
        return -1;
    }
    ko_sdk_info *record = g_sdk_info;
    if (!record) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    std::memset(out, 0, sizeof *out);
    char bind_key[sizeof record->bind_key] = {};
    if (url_get_field(text, "b", bind_key, sizeof bind_key) < 0) {
        KO_LOGE(KO_IPC_MODULE, "paser b from bind info error\n");
        return -1;
    }
    {
        ko_sdk::RecordLock guard(record);
        std::memcpy(record->bind_key, bind_key, sizeof bind_key);
    }
    if (url_get_field(text, "t", out->tz, sizeof out->tz) < 0) {
        KO_LOGE(KO_IPC_MODULE, "paser t from bind info error\n");
        return -1;
    }
    if (url_get_field(text, "r", out->country_domain, sizeof out->country_domain) < 0)
        std::memset(out->country_domain, 0, sizeof out->country_domain);
    if (base64_field(text, "s", out->ssid, sizeof out->ssid) < 0)
        return -1;
    const int passwd_len = base64_field(text, "p", out->passwd, sizeof out->passwd);
    if (passwd_len < 0)
        return -1;
    for (int i = 0; i < passwd_len && static_cast<size_t>(i) < kPasswdKeyLen; ++i) {
        const char key = kPasswdKey[i];
        if (out->passwd[i] != key)
            out->passwd[i] = static_cast<char>(out->passwd[i] ^ key);
    }
    return 0;
}

extern "C" int ko_ipc_start_register(const ko_bind_info *info)
{
    ko_sdk_info *record = g_sdk_info;
    if (!record) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    if (!info) {
        KO_LOGE(KO_IPC_MODULE, "invalid param %p\n", static_cast<const void *>(info));
        return -1;
    }
    const std::string ssid = ko_sdk::text_of(info->ssid, 32);
    const std::string passwd = ko_sdk::text_of(info->passwd, 63);
    std::string bind_key;
    {
        ko_sdk::RecordLock guard(record);
        std::snprintf(record->ssid, sizeof record->ssid, "%s", ssid.c_str());
        std::snprintf(record->passwd, sizeof record->passwd, "%s", passwd.c_str());
        bind_key = ko_sdk::text_of(record->bind_key);
    }
    json_object *root = json_object_new_object();
    json_object *params = json_object_new_object();
    if (!root || !params) {
        KO_LOGE("KO STATICS", "json object is null\n");
        json_object_put(root);
        json_object_put(params);
        return KO_SDK_ERR_NOMEM;
    }
    json_object_object_add(params, "country_domain",
                           json_object_new_string(ko_sdk::text_of(info->country_domain).c_str()));
    json_object_object_add(params, "ssid", json_object_new_string(ssid.c_str()));
    json_object_object_add(params, "tz", json_object_new_string(ko_sdk::text_of(info->tz).c_str()));
    json_object_object_add(params, "passwd", json_object_new_string(passwd.c_str()));
    json_object_object_add(params, "bind_key", json_object_new_string(bind_key.c_str()));
    json_object_object_add(root, "params", params);
    json_object_object_add(root, "id", json_object_new_int(ko_sdk::random_id()));
    json_object_object_add(root, "method", json_object_new_string("local.ble.config_router"));
    ko_sdk::send_to_daemon(ko_sdk::json_text(root), KO_MSG_MODE_ASYNC);
    json_object_put(root);
    return 0;
}
