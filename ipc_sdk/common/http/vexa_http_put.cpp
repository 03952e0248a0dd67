// The streamed PUT of an upload of known size: the body comes from the caller's read function, the
// "Expect:" header is left out, and a transfer slower than 20 bytes/s for 60 s is given up.
#include <memory>

#include "common/http/vexa_http.h"
#include "common/http/vexa_http_options.h"

namespace {

constexpr long kConnectTimeout = 5;

struct ListFree {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct CurlFree {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};

} // namespace

int vexa_http_put(const char *url, int64_t size, vexa_http_data_cb read_fn, void *user, long timeout_s,
                  long *http_code)
{
    if (!url || size < 0 || !read_fn || timeout_s <= 0 || !http_code) {
        KO_LOGE(VEXA_HTTP_MODULE, "param null!\n");
        return -1;
    }
    *http_code = 0;
    const std::unique_ptr<CURL, CurlFree> c(curl_easy_init());
    if (!c) {
        KO_LOGE(VEXA_HTTP_MODULE, "curl created failed\n");
        return -1;
    }
    std::unique_ptr<curl_slist, ListFree> headers(curl_slist_append(nullptr, "Expect:"));
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_URL, url);
    vexa_http_set_ca(VEXA_HTTP_MODULE, c.get());
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_UPLOAD, 1L);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_READFUNCTION, read_fn);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_READDATA, user);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_HTTPHEADER, headers.get());
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
    vexa_http_set_low_speed(VEXA_HTTP_MODULE, c.get());
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_TIMEOUT, timeout_s);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c.get(), CURLOPT_NOSIGNAL, 1L);
    const CURLcode rc = curl_easy_perform(c.get());
    if (rc != CURLE_OK) {
        KO_LOGE(VEXA_HTTP_MODULE, "curl ended with error info: %s\n", curl_easy_strerror(rc));
        return rc;
    }
    curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, http_code);
    return 0;
}
