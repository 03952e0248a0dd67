// The firmware download: one GET from a resume offset on, with the caller's progress, data and
// header functions, a total time-out, a low-speed limit and the mapping of resolve, connect and
// time-out failures.
#include <cstdio>
#include <cstring>

#include "common/http/vexa_http.h"
#include "common/http/vexa_http_options.h"

namespace {

constexpr const char *kModule = "KO OTA";

int map_error(CURLcode rc)
{
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return VEXA_HTTP_ERR_RESOLVE;
    case CURLE_COULDNT_CONNECT:
        return VEXA_HTTP_ERR_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return VEXA_HTTP_ERR_TIMEOUT;
    default:
        return 0;
    }
}

} // namespace

int vexa_http_download_ota(const char *url, int timeout_s, curl_xferinfo_callback progress_fn, void *progress_data,
                           vexa_http_data_cb write_fn, vexa_http_data_cb header_fn, void *user_data,
                           int resume_offset, int *error, char *ip, int ip_size)
{
    if (!url || !progress_fn || !progress_data || !write_fn || !header_fn || !user_data) {
        KO_LOGE(kModule, "param null!\n");
        return -1;
    }
    CURL *c = curl_easy_init();
    if (!c) {
        KO_LOGE(kModule, "curl created failed\n");
        return -1;
    }
    char range[24];
    snprintf(range, sizeof range, "%d-", resume_offset);
    VEXA_SETOPT(kModule, c, CURLOPT_URL, url);
    vexa_http_set_ca(kModule, c);
    if (timeout_s > 0)
        VEXA_SETOPT(kModule, c, CURLOPT_TIMEOUT, static_cast<long>(timeout_s));
    else
        VEXA_SETOPT(kModule, c, CURLOPT_TIMEOUT_MS, vexa_http_download_limit_ms());
    // A server that stops sending would otherwise hold the update, with the camera's media already
    // released for it, until the total time-out; a stalled attempt ends early and the next resumes.
    vexa_http_set_low_speed(kModule, c);
    KO_LOGI(kModule, "download ends after %ld s below %ld B/s\n", vexa_http_low_speed_time_s(),
            VEXA_HTTP_LOW_SPEED_BYTES);
    // Time-outs must not raise SIGALRM in a threaded process.
    VEXA_SETOPT(kModule, c, CURLOPT_NOSIGNAL, 1L);
    VEXA_SETOPT(kModule, c, CURLOPT_WRITEFUNCTION, write_fn);
    VEXA_SETOPT(kModule, c, CURLOPT_WRITEDATA, user_data);
    VEXA_SETOPT(kModule, c, CURLOPT_HEADERFUNCTION, header_fn);
    VEXA_SETOPT(kModule, c, CURLOPT_HEADERDATA, user_data);
    VEXA_SETOPT(kModule, c, CURLOPT_XFERINFOFUNCTION, progress_fn);
    VEXA_SETOPT(kModule, c, CURLOPT_XFERINFODATA, progress_data);
    VEXA_SETOPT(kModule, c, CURLOPT_NOPROGRESS, 0L);
    VEXA_SETOPT(kModule, c, CURLOPT_RANGE, range);

    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        KO_LOGE(kModule, "curl ended with error info: %s\n", curl_easy_strerror(rc));
        const int mapped = map_error(rc);
        if (error && mapped != 0)
            *error = mapped;
    }
    if (ip && ip_size > 0) {
        char *primary = nullptr;
        if (curl_easy_getinfo(c, CURLINFO_PRIMARY_IP, &primary) == CURLE_OK && primary)
            snprintf(ip, static_cast<size_t>(ip_size), "%s", primary);
        else
            ip[0] = 0;
    }
    curl_easy_cleanup(c);
    return rc == CURLE_OK ? 0 : -1;
}
