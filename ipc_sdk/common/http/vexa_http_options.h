// Options that every request of the HTTP client shares, and its per-request libcurl handle.
#pragma once

#include <curl/curl.h>

#include "common/utils/ko_log.h"

inline constexpr const char *VEXA_HTTP_MODULE = "KO HTTP";
inline constexpr const char *VEXA_HTTP_CA_FILE = "/mnt/data/cacert.pem";

// A failing option is only logged; the request goes on.
#define VEXA_SETOPT(module, curl, opt, value)                                                                    \
    do {                                                                                                        \
        const CURLcode setopt_rc_ = curl_easy_setopt((curl), (opt), (value));                                   \
        if (setopt_rc_ != CURLE_OK)                                                                             \
            KO_LOGW((module), "curl_easy_setopt() failed: %s\n", curl_easy_strerror(setopt_rc_));              \
    } while (0)

// Peer verification against the CA file (through the path root).
void vexa_http_set_ca(const char *module, CURL *curl);

// A transfer that moves fewer than 20 bytes a second for 60 s (unless a test has shortened that
// time, vexa_http_test.h) ends as timed out.
inline constexpr long VEXA_HTTP_LOW_SPEED_BYTES = 20;
void vexa_http_set_low_speed(const char *module, CURL *curl);
long vexa_http_low_speed_time_s();

// The request limits in milliseconds: the fixed 30 s (`request`) and the download default of 300 s,
// unless a test has shortened them (vexa_http_test.h).
long vexa_http_request_limit_ms();
long vexa_http_download_limit_ms();
