// One log upload: the files checked, the target taken (pushed, or asked of the cloud), the tar stream
// encrypted with AES-128-CBC and PKCS#7 as curl reads it, and the PUT.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/logfiles/ko_logfiles_internal.h"
#include "common/http/vexa_http.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_tar.h"
#include "zelmar/zel_crypto.h"
#include "zelmar/zel_path.h"
#include "zelmar/zel_rand.h"

namespace ko_logfiles {

namespace {

constexpr int kMinTimeout = 10;
constexpr int64_t kSmallArchive = 40960;
constexpr int kReplyWaitMs = 3000;
constexpr size_t kBaseNameMax = 8;

struct TarClose {
    void operator()(ko_tar *t) const { ko_tar_finish(t); }
};
struct CipherClose {
    void operator()(zel_aes_cbc_ctx *c) const { zel_crypto_aes128_cbc_close(c); }
};

// The encrypted archive as curl reads it: whole blocks as the tar stream gives them, then the
// padded last block.
struct Body {
    std::unique_ptr<ko_tar, TarClose> tar;
    std::unique_ptr<zel_aes_cbc_ctx, CipherClose> cipher;
    std::vector<uint8_t> plain;  // tar bytes not yet encrypted (under one block between reads)
    std::vector<uint8_t> cipher_out;
    size_t sent = 0;             // of cipher_out
    bool finished = false;
    bool failed = false;

    bool refill()
    {
        cipher_out.clear();
        sent = 0;
        uint8_t piece[4096];
        const int n = ko_tar_read(tar.get(), piece, sizeof piece);
        if (n < 0) {
            failed = true;
            return false;
        }
        if (n == 0) {
            cipher_out.resize(ZEL_AES_BLOCK);
            if (zel_crypto_aes128_cbc_finish(cipher.release(), plain.data(), plain.size(), cipher_out.data()) != 0)
                failed = true;
            finished = true;
            return !failed;
        }
        plain.insert(plain.end(), piece, piece + n);
        const size_t whole = plain.size() / ZEL_AES_BLOCK * ZEL_AES_BLOCK;
        cipher_out.resize(whole);
        if (whole && zel_crypto_aes128_cbc_update(cipher.get(), plain.data(), cipher_out.data(), whole) != 0) {
            failed = true;
            return false;
        }
        plain.erase(plain.begin(), plain.begin() + static_cast<long>(whole));
        return true;
    }
};

size_t read_body(char *out, size_t size, size_t nmemb, void *user)
{
    auto &b = *static_cast<Body *>(user);
    const size_t want = size * nmemb;
    while (b.sent == b.cipher_out.size()) {
        if (b.finished)
            return 0;
        if (!b.refill())
            return CURL_READFUNC_ABORT;
    }
    const size_t n = std::min(want, b.cipher_out.size() - b.sent);
    std::memcpy(out, b.cipher_out.data() + b.sent, n);
    b.sent += n;
    return n;
}

std::string extra_info(const char (*paths)[KO_LOGFILES_PATH_LEN], int count)
{
    std::string extra;
    for (int i = 0; i < count; ++i) {
        const std::string path(paths[i], strnlen(paths[i], KO_LOGFILES_PATH_LEN));
        extra += "$" + path.substr(path.rfind('/') + 1, kBaseNameMax);
    }
    return extra + "$.tar.gz";
}

// Asks the cloud for a target: true with it in `out` when the reply came within 3 s.
bool request_target(const std::string &extra, Target *out)
{
    char did[40];
    if (ko_log_upload_get_did(did, sizeof did) < 0) {
        KO_LOGE(kModule, "logup err:no device id\n");
        return false;
    }
    State &s = state();
    const int id = static_cast<int>(generate_random_id());
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.pending_id = id;
        s.reply_ok = false;
    }
    const std::string text = "{\"id\":" + std::to_string(id) +
                             ",\"method\":\"_sync.get_devicelog_url\",\"params\":{\"did\":\"" + did +
                             "\", \"extraInfo\":\"" + extra + "\"}}";
    ko_log_upload_rpc_send(text.c_str(), static_cast<int>(text.size()));
    std::unique_lock<std::mutex> lock(s.lock);
    s.changed.wait_for(lock, std::chrono::milliseconds(kReplyWaitMs), [&] { return s.reply_ok; });
    s.pending_id = 0;
    if (!s.reply_ok)
        return false;
    *out = s.reply_target;
    return true;
}

} // namespace

} // namespace ko_logfiles

using namespace ko_logfiles;

int ko_log_upload_start(const char (*paths)[KO_LOGFILES_PATH_LEN], int count, int timeout)
{
    if (!paths || count <= 0 || count > KO_LOGFILES_UPLOAD_MAX) {
        KO_LOGE(kModule, "logup err: invalid file count %d\n", count);
        return KO_LOG_UPLOAD_BAD_INPUT;
    }
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        const std::string path(paths[i], strnlen(paths[i], KO_LOGFILES_PATH_LEN));
        struct stat st{};
        if (path.size() == KO_LOGFILES_PATH_LEN || access(zel_path(path).c_str(), R_OK) != 0 ||
            stat(zel_path(path).c_str(), &st) != 0) {
            KO_LOGE(kModule, "logup err: file=%s, access R_OK fail\n", path.c_str());
            return KO_LOG_UPLOAD_BAD_INPUT;
        }
        total += st.st_size;
    }
    if (total >= KO_LOGFILES_TOTAL_MAX) {
        KO_LOGE(kModule, "logup err: total file size(%d) > max(%d)\n", static_cast<int>(total),
                static_cast<int>(KO_LOGFILES_TOTAL_MAX));
        return KO_LOG_UPLOAD_TOO_LARGE;
    }
    if (timeout != 0 && timeout < kMinTimeout) {
        KO_LOGE(kModule, "logup err:timeout<10,%d\n", timeout);
        return KO_LOG_UPLOAD_BAD_INPUT;
    }

    State &s = state();
    Target target;
    Mode mode;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        mode = mode_locked(s);
        if (mode == kModePushed) {
            target = s.pushed_target;
            s.pushed = false;
        }
    }
    if (mode == kModeOff) {
        KO_LOGE(kModule, "logup err:upload not allowed now\n");
        return KO_LOG_UPLOAD_NOT_ALLOWED;
    }
    if (mode == kModeWindow && !request_target(extra_info(paths, count), &target)) {
        KO_LOGE(kModule, "logup err:log url update fail\n");
        return KO_LOG_UPLOAD_NO_URL;
    }

    Body body;
    body.tar.reset(ko_tar_init(paths, count));
    body.cipher.reset(zel_crypto_aes128_cbc_open(target.key.data(), target.iv.data()));
    if (!body.tar || !body.cipher) {
        KO_LOGE(kModule, "logup err:archive or cipher failed\n");
        return KO_LOG_UPLOAD_ARCHIVE;
    }
    const int64_t archive = ko_tar_total_size(body.tar.get());
    const int64_t size = archive / ZEL_AES_BLOCK * ZEL_AES_BLOCK + ZEL_AES_BLOCK;
    const long limit = timeout ? timeout : size < kSmallArchive ? kMinTimeout : static_cast<long>(size / 4096);
    long code = 0;
    const int rc = vexa_http_put(target.url.c_str(), size, read_body, &body, limit, &code);
    if (rc == CURLE_OPERATION_TIMEDOUT)
        return KO_LOG_UPLOAD_TIMEOUT;
    if (rc != 0 || body.failed)
        return body.failed ? KO_LOG_UPLOAD_ARCHIVE : KO_LOG_UPLOAD_HTTP;
    if (code != 200) {
        KO_LOGE(kModule, "logup err:curl http code  : %ld\n", code);
        return KO_LOG_UPLOAD_HTTP;
    }
    KO_LOGI(kModule, "logup: %d files, %lld bytes sent\n", count, static_cast<long long>(size));
    return KO_LOG_UPLOAD_OK;
}
