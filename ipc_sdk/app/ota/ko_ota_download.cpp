// One update from the download to the install: up to three download attempts (a later one resumes
// where the bytes stop), the verifier fed as the bytes arrive and the payload handed to the
// app-client library, verification, the install hook, and the final reports.
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/ota/ko_ota_internal.h"
#include "app/ota/ko_ota_verify.h"
#include "common/http/vexa_http.h"
#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_ota {

namespace {

constexpr int kAttempts = 3;
constexpr uint64_t kImageMax = 16u << 20; // what the install library can stage
constexpr int kErrDownload = -33001, kErrWrite = -33024, kErrVerify = -33025;

// One download attempt's view of the response, and the update's running totals.
struct Transfer {
    Context *ctx = nullptr;
    ko_ota_verify *verifier = nullptr;
    uint64_t total = 0;  // the image's length, from the first response
    uint64_t offset = 0; // where this attempt starts
    int status = 0;      // of this attempt's response
    uint64_t length = 0; // this response's Content-Length
    bool range_ok = false;
    bool checked = false;
    bool refused = false; // the server's answer can never give the image: no further attempt
    Progress progress{0, 50};
};

void hand_payload(const uint8_t *data, size_t len, void *)
{
    ko_ota_ondata(data, static_cast<int>(len));
}

size_t on_header(char *data, size_t size, size_t nmemb, void *user)
{
    auto &t = *static_cast<Transfer *>(user);
    const size_t n = size * nmemb;
    const std::string line(data, n);
    unsigned long long a = 0, b = 0, c = 0;
    int code = 0;
    if (std::sscanf(line.c_str(), "HTTP/%*s %d", &code) == 1) {
        t.status = code;
        t.length = 0;
        t.range_ok = false;
    } else if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
        t.length = std::strtoull(line.c_str() + 15, nullptr, 10);
        if (t.length && !t.total && t.offset == 0) {
            t.total = t.length;
            KO_LOGI(kModule, "content length from http response is %d\n", static_cast<int>(t.length));
        }
    } else if (strncasecmp(line.c_str(), "Content-Range:", 14) == 0 &&
               std::sscanf(line.c_str() + 14, " bytes %llu-%llu/%llu", &a, &b, &c) == 3) {
        t.range_ok = a == t.offset && (t.total == 0 || c == t.total);
    }
    return n;
}

// Whether the response can carry the image's next bytes; checked before the first byte goes on.
bool acceptable(Transfer &t)
{
    if (t.length == 0 || t.total == 0) {
        KO_LOGE(kModule, "OTA download fail: no content length\n");
        return false;
    }
    if (t.total > kImageMax) {
        KO_LOGE(kModule, "OTA download fail: image of %llu bytes, at most %llu\n",
                static_cast<unsigned long long>(t.total), static_cast<unsigned long long>(kImageMax));
        return false;
    }
    // A resumed attempt must continue exactly where the bytes stopped.
    const bool whole = t.offset == 0 && (t.status == 200 || (t.status == 206 && t.range_ok));
    const bool resumed = t.offset > 0 && t.status == 206 && t.range_ok && t.length == t.total - t.offset;
    if (!whole && !resumed) {
        KO_LOGE(kModule, "OTA download fail: http %d for the bytes from %llu\n", t.status,
                static_cast<unsigned long long>(t.offset));
        return false;
    }
    ko_ota_verify_set_total(t.verifier, t.total);
    KO_LOGI(kModule, "OTA file size=%u\n", static_cast<unsigned>(t.total));
    return true;
}

size_t on_data(char *data, size_t size, size_t nmemb, void *user)
{
    auto &t = *static_cast<Transfer *>(user);
    const size_t n = size * nmemb;
    if (!t.checked) {
        t.checked = true;
        if (!acceptable(t)) {
            t.refused = true;
            return 0; // ends the transfer
        }
    }
    ko_ota_verify_update(t.verifier, reinterpret_cast<const uint8_t *>(data), n, hand_payload, nullptr);
    return n;
}

int on_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto &t = *static_cast<Transfer *>(user);
    t.progress.update(ko_ota_verify_received(t.verifier), t.total);
    return t.ctx->running.load() ? 0 : 1;
}

struct Outcome {
    int result = 0;  // 0 or one of the kErr* codes
    int status = 0;  // the failing step
    int reason = 0;  // the verifier's or the install's code
    int retry = 0;
    char ip[64] = {};
    uint64_t download_ms = 0, write_ms = 0;
    long long image_len = 0;
};

bool download(Context &ctx, ko_ota_verify *verifier, Outcome &out)
{
    Transfer t;
    t.ctx = &ctx;
    t.verifier = verifier;
    for (int attempt = 0; attempt < kAttempts && ctx.running.load() && !t.refused; ++attempt) {
        out.retry = attempt;
        t.offset = ko_ota_verify_received(verifier);
        t.status = 0;
        t.length = 0;
        t.range_ok = false;
        t.checked = false;
        int error = 0;
        vexa_http_download_ota(ctx.url.c_str(), 0, on_progress, &t, on_data, on_header, &t,
                               static_cast<int>(t.offset), &error, out.ip, sizeof out.ip);
        const uint64_t received = ko_ota_verify_received(verifier);
        if (t.total && received == t.total) {
            KO_LOGI(kModule, "received %d bytes successfully\n", static_cast<int>(received));
            return true;
        }
        if (error)
            out.reason = error;
        KO_LOGE(kModule, "receive data length is mismatched, header length: %d, received length: %d\n",
                static_cast<int>(t.total), static_cast<int>(received));
        KO_LOGE(kModule, "OTA download fail\n");
    }
    KO_LOGE(kModule, "recevied 0 byte\n");
    return false;
}

void set_state(Context &ctx, int state)
{
    {
        std::lock_guard<std::mutex> guard(ctx.mutex);
        ctx.state = state;
    }
    report_state(state);
}

void final_reports(Context &ctx, const Outcome &out, uint64_t started_ms)
{
    const bool ok = out.result == 0;
    const uint64_t now = vexa_time_tick_ms();
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"type\":%d,\"result\":%d,\"costtime\":%llu,\"ota_app\":{\"ip\":\"%s\",\"result\":[%d,%d],"
                  "\"reason\":%d,\"retry\":%d,\"time\":[0,0,%llu,%llu,0]}}",
                  ok ? 1 : 2, out.result, static_cast<unsigned long long>(now - started_ms), out.ip, out.result,
                  out.status, out.reason, out.retry, static_cast<unsigned long long>(out.download_ms),
                  static_cast<unsigned long long>(out.write_ms));
    report_stat_object("ota.result", text);
    std::snprintf(text, sizeof text,
                  "{\"type\":%d,\"download_time\":%llu,\"write_time\":%llu,\"error_msg\":\"%s\"}", ok ? 1 : 2,
                  static_cast<unsigned long long>(out.download_ms / 1000),
                  static_cast<unsigned long long>(out.write_ms / 1000), ok ? "success" : "failed");
    report_stat_object("ota.info", text);
    if (!ok)
        KO_LOGE(kModule, "ota status = %d\n", out.result);
    set_state(ctx, ok ? kInstalled : kFailed);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ko_ota_onstat(ok ? kInstalled : kFailed);
}

void download_and_install(Context &ctx, const std::string &root, Outcome &out)
{
    ko_ota_verify *verifier = nullptr;
    const int rc = ko_ota_verify_init(&verifier, root.data(), root.size(), ctx.md5.c_str(), ctx.signed_file);
    if (rc != 0) {
        KO_LOGE(kModule, "ota: verify init error!\n");
        out.result = kErrVerify;
        out.status = -5;
        out.reason = rc;
        return;
    }
    const std::unique_ptr<ko_ota_verify, void (*)(ko_ota_verify *)> owned(verifier, ko_ota_verify_free);
    const uint64_t download_start = vexa_time_tick_ms();
    const bool downloaded = download(ctx, verifier, out);
    out.download_ms = vexa_time_tick_ms() - download_start;
    if (!downloaded) {
        out.result = kErrDownload;
        out.status = -2;
        return;
    }
    KO_LOGI(kModule, "image size: %lu\n", static_cast<unsigned long>(ko_ota_verify_received(verifier)));
    set_state(ctx, kDownloaded);

    const ko_sdk_info *info = ko_ipc_get_sdk_info();
    const ko_ota_expect expect{info ? info->param.model : "", info ? info->param.fw_ver : "", downgrade_allowed()};
    out.image_len = ko_ota_verify_finish(verifier, &expect, hand_payload, nullptr);
    if (out.image_len < 0) {
        KO_LOGE(kModule, "sigin verify failed.\n");
        out.result = kErrVerify;
        out.status = -5;
        out.reason = static_cast<int>(out.image_len);
        return;
    }
    KO_LOGI(kModule, "sign verify success,data_len=%lu, start to write flash\n",
            static_cast<unsigned long>(out.image_len));
    ko_ota_onstat(kInstalling);
    report_progress(50);
    set_state(ctx, kInstalling);
    const uint64_t write_start = vexa_time_tick_ms();
    const int written = ko_ota_write_image(50, 100, 100);
    out.write_ms = vexa_time_tick_ms() - write_start;
    if (written < 0) {
        KO_LOGE(kModule, "Write image faild.\n");
        out.result = kErrWrite;
        out.status = -6;
        out.reason = written;
        return;
    }
    report_progress(100);
}

} // namespace

void run_update(Context &ctx)
{
    std::string root;
    {
        std::lock_guard<std::mutex> guard(ctx.mutex);
        root = ctx.root;
    }
    const uint64_t started_ms = vexa_time_tick_ms();
    Outcome out;
    download_and_install(ctx, root, out);
    final_reports(ctx, out, started_ms);
}

} // namespace ko_ota
