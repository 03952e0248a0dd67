// The HTTP client's handle, reply buffer, connection slots and request operations (GET, form posts
// of files or streams, text posts).
#include "common/http/vexa_http.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/http/vexa_http_options.h"
#include "common/http/vexa_http_test.h"
#include "common/utils/vexa_mem.h"
#include "zelmar/zel_path.h"

namespace {

constexpr long kConnectTimeout = 6;
constexpr long kTotalTimeoutMs = 30000;
constexpr long kDownloadTimeoutMs = 300000;
std::atomic<long> g_request_ms{0};
std::atomic<long> g_download_ms{0};
constexpr long kLowSpeedTime = 60;
std::atomic<long> g_low_speed_s{0};

// A request needs a handle with a URL.
bool handle_ok(const vexa_http *h)
{
    if (h && h->url)
        return true;
    KO_LOGE(VEXA_HTTP_MODULE, "not valid args %p %p\n", static_cast<const void *>(h),
            h ? static_cast<const void *>(h->url) : nullptr);
    return false;
}

// The libcurl handle of one request: the slot's (reset), a new one left in the slot, or the
// request's own. Null when none could be made (the slot is then empty).
CURL *request_curl(vexa_http_conn *conn)
{
    if (conn && *conn) {
        curl_easy_reset(*conn);
        return *conn;
    }
    CURL *c = curl_easy_init();
    if (!c)
        KO_LOGE(VEXA_HTTP_MODULE, "curl created failed\n");
    if (conn)
        *conn = c;
    return c;
}

int abort_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto *h = static_cast<const vexa_http *>(user);
    return h->abort_check(h->abort_user) ? 1 : 0;
}

void common_options(vexa_http *h, CURL *c)
{
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_URL, h->url);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_VERBOSE, static_cast<long>(h->verbose));
    vexa_http_set_ca(VEXA_HTTP_MODULE, c);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_TIMEOUT_MS, vexa_http_request_limit_ms());
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_NOSIGNAL, 1L);
    if (h->cookie)
        VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_COOKIE, h->cookie);
    if (h->abort_check) {
        VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_XFERINFOFUNCTION, abort_progress);
        VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_XFERINFODATA, h);
        VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_NOPROGRESS, 0L);
    }
}

// Options of the posts: "Expect:" removed, headers in the reply, the reply buffer as sink.
void post_options(vexa_http *h, CURL *c, curl_slist *headers, bool low_speed)
{
    common_options(h, c);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_HTTPHEADER, headers);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_HEADER, 1L);
    if (low_speed)
        vexa_http_set_low_speed(VEXA_HTTP_MODULE, c);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_WRITEFUNCTION, http_datawrite_callback);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_WRITEDATA, h);
}

// Runs the transfer and maps its outcome; the handle goes back to the slot or is cleaned up.
int perform(vexa_http *h, CURL *c, vexa_http_conn *conn)
{
    const CURLcode rc = curl_easy_perform(c);
    h->result = rc;
    if (h->verbose)
        KO_LOGI(VEXA_HTTP_MODULE, "result size is %u,  result context is [[%s]]\n", h->reply_size,
                h->reply ? h->reply : "");
    int ret = 0;
    if (rc != CURLE_OK) {
        KO_LOGE(VEXA_HTTP_MODULE, "curl error :%d ,%s\n", rc, curl_easy_strerror(rc));
        http_clean_resource(h);
        ret = rc;
    } else {
        long code = 0;
        if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK)
            KO_LOGW(VEXA_HTTP_MODULE, "curl_easy_getinfo() failed\n");
        if (code != 200) {
            KO_LOGE(VEXA_HTTP_MODULE, "curl http code  : %ld\n", code);
            http_clean_resource(h);
            ret = code != 0 ? static_cast<int>(code) : -1;
        }
    }
    if (!conn)
        curl_easy_cleanup(c);
    return ret;
}

curl_slist *expect_header()
{
    curl_slist *list = curl_slist_append(nullptr, "Expect:");
    if (!list)
        KO_LOGE(VEXA_HTTP_MODULE, "system call err:%s, errno:%s\n", "curl_slist_append", strerror(ENOMEM));
    return list;
}

bool add_text_part(curl_mime *form, const char *name, const char *text)
{
    curl_mimepart *p = curl_mime_addpart(form);
    return p && curl_mime_name(p, name) == CURLE_OK && curl_mime_data(p, text, CURL_ZERO_TERMINATED) == CURLE_OK;
}

bool add_file_parts(curl_mime *form, const char *name, const char *path)
{
    curl_mimepart *p = curl_mime_addpart(form);
    return p && curl_mime_name(p, name) == CURLE_OK && curl_mime_filedata(p, path) == CURLE_OK &&
           add_text_part(form, name, path);
}

bool add_stream_part(curl_mime *form, const char *name, const char *file_name, curl_off_t size,
                     vexa_http_data_cb read_fn, vexa_http_stream *stream)
{
    curl_mimepart *p = curl_mime_addpart(form);
    return p && curl_mime_name(p, name) == CURLE_OK && curl_mime_filename(p, file_name) == CURLE_OK &&
           curl_mime_data_cb(p, size, read_fn, nullptr, nullptr, stream) == CURLE_OK;
}

// A multipart post built by `build`; the form and the header list are freed after the transfer.
template <typename Build> int post_form(vexa_http *h, vexa_http_conn *conn, Build build)
{
    if (!handle_ok(h))
        return -1;
    CURL *c = request_curl(conn);
    if (!c)
        return -1;
    curl_mime *form = curl_mime_init(c);
    curl_slist *headers = expect_header();
    if (!form || !headers || !build(form)) {
        KO_LOGE(VEXA_HTTP_MODULE, "build form failed\n");
        curl_mime_free(form);
        curl_slist_free_all(headers);
        if (!conn)
            curl_easy_cleanup(c);
        return -1;
    }
    post_options(h, c, headers, true);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_MIMEPOST, form);
    const int ret = perform(h, c, conn);
    // A kept handle must not point at the freed form and list.
    if (conn && *conn)
        curl_easy_reset(*conn);
    curl_mime_free(form);
    curl_slist_free_all(headers);
    return ret;
}

int post_body(vexa_http *h, const char *body, vexa_http_conn *conn, bool low_speed)
{
    if (!handle_ok(h))
        return -1;
    if (!body) {
        KO_LOGE(VEXA_HTTP_MODULE, "post body is null\n");
        return -1;
    }
    CURL *c = request_curl(conn);
    if (!c)
        return -1;
    curl_slist *headers = expect_header();
    post_options(h, c, headers, low_speed);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_POST, 1L);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_POSTFIELDS, body);
    const int ret = perform(h, c, conn);
    if (conn && *conn)
        curl_easy_reset(*conn);
    curl_slist_free_all(headers);
    return ret;
}

} // namespace

void vexa_http_test_set_limits(long request_ms, long download_ms)
{
    g_request_ms = request_ms;
    g_download_ms = download_ms;
}

void vexa_http_test_set_low_speed_time(long seconds)
{
    g_low_speed_s = seconds;
}

long vexa_http_low_speed_time_s()
{
    const long s = g_low_speed_s;
    return s > 0 ? s : kLowSpeedTime;
}

void vexa_http_set_low_speed(const char *module, CURL *curl)
{
    VEXA_SETOPT(module, curl, CURLOPT_LOW_SPEED_LIMIT, VEXA_HTTP_LOW_SPEED_BYTES);
    VEXA_SETOPT(module, curl, CURLOPT_LOW_SPEED_TIME, vexa_http_low_speed_time_s());
}

long vexa_http_request_limit_ms()
{
    const long ms = g_request_ms;
    return ms > 0 ? ms : kTotalTimeoutMs;
}

long vexa_http_download_limit_ms()
{
    const long ms = g_download_ms;
    return ms > 0 ? ms : kDownloadTimeoutMs;
}

void vexa_http_set_ca(const char *module, CURL *curl)
{
    const std::string ca = zel_path(VEXA_HTTP_CA_FILE);
    VEXA_SETOPT(module, curl, CURLOPT_SSL_VERIFYPEER, 1L);
    VEXA_SETOPT(module, curl, CURLOPT_SSL_VERIFYHOST, 2L);
    VEXA_SETOPT(module, curl, CURLOPT_CAINFO, ca.c_str());
}

vexa_http *vexa_http_new(const char *url, int flag, const char *cookie, int verbose)
{
    if (!url) {
        KO_LOGW(VEXA_HTTP_MODULE, "input param url is NULL\n");
        return nullptr;
    }
    auto *h = static_cast<vexa_http *>(vexa_calloc(1, sizeof(vexa_http)));
    if (!h) {
        KO_LOGE(VEXA_HTTP_MODULE, "system call err:%s, errno:%s\n", "vexa_calloc", strerror(ENOMEM));
        return nullptr;
    }
    h->url_len = strlen(url);
    h->url = static_cast<char *>(vexa_malloc(h->url_len + 1));
    h->reply = static_cast<char *>(vexa_malloc(VEXA_HTTP_REPLY_SIZE));
    if (cookie) {
        h->cookie_size = strlen(cookie) + 1;
        h->cookie = static_cast<char *>(vexa_malloc(h->cookie_size));
    }
    if (!h->url || !h->reply || (cookie && !h->cookie)) {
        KO_LOGE(VEXA_HTTP_MODULE, "system call err:%s, errno:%s\n", "malloc", strerror(ENOMEM));
        vexa_http_free(h);
        return nullptr;
    }
    memcpy(h->url, url, h->url_len + 1);
    if (cookie)
        memcpy(h->cookie, cookie, h->cookie_size);
    h->reply_size = VEXA_HTTP_REPLY_SIZE;
    h->flag = static_cast<uint8_t>(flag);
    struct stat st {};
    h->verbose = verbose || stat(zel_path("/tmp/http_debug").c_str(), &st) == 0 ? 1 : 0;
    return h;
}

int vexa_http_free(vexa_http *h)
{
    if (!h)
        return 0;
    vexa_free(h->url);
    vexa_free(h->reply);
    vexa_free(h->cookie);
    vexa_free(h);
    return 0;
}

size_t http_datawrite_callback(char *data, size_t size, size_t nmemb, void *user)
{
    auto *h = static_cast<vexa_http *>(user);
    const size_t total = size * nmemb;
    if (!h) {
        KO_LOGE(VEXA_HTTP_MODULE, "handle is null!\n");
        return total;
    }
    if (!h->reply || h->reply_size == 0) {
        KO_LOGE(VEXA_HTTP_MODULE, "handle->reply=%p,handle->reply_size=%d\n", static_cast<void *>(h->reply),
                static_cast<int>(h->reply_size));
        return total;
    }
    const size_t used = strnlen(h->reply, h->reply_size - 1);
    const size_t left = h->reply_size - 1 - used;
    const size_t text = strnlen(data, total);
    const size_t take = text < left ? text : left;
    if (take < text)
        KO_LOGW(VEXA_HTTP_MODULE, "handle->reply is full,left_size=%d,handle->reply_size=%u,reply=%p\n",
                static_cast<int>(left), h->reply_size, static_cast<void *>(h->reply));
    memcpy(h->reply + used, data, take);
    h->reply[used + take] = 0;
    return total;
}

int http_clean_resource(vexa_http *h)
{
    if (!h) {
        KO_LOGE(VEXA_HTTP_MODULE, "handle is null!\n");
        return -1;
    }
    if (!h->reply || h->reply_size == 0) {
        KO_LOGE(VEXA_HTTP_MODULE, "handle->reply=%p,handle->reply_size=%d\n", static_cast<void *>(h->reply),
                static_cast<int>(h->reply_size));
        return -1;
    }
    memset(h->reply, 0, h->reply_size);
    return 0;
}

int vexa_http_get(vexa_http *h, int reserved, vexa_http_data_cb write_fn, void *write_data,
                  vexa_http_data_cb header_fn, void *header_data, vexa_http_conn *conn)
{
    (void)reserved;
    if (!h || !h->url || !write_fn || !write_data) {
        KO_LOGE(VEXA_HTTP_MODULE, "param null!\n");
        return -1;
    }
    CURL *c = request_curl(conn);
    if (!c)
        return -1;
    common_options(h, c);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_WRITEFUNCTION, write_fn);
    VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_WRITEDATA, write_data);
    if (header_fn) {
        VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_HEADERFUNCTION, header_fn);
        VEXA_SETOPT(VEXA_HTTP_MODULE, c, CURLOPT_HEADERDATA, header_data);
    }
    return perform(h, c, conn);
}

int vexa_http_start_request_get(vexa_http *h, vexa_http_conn *conn)
{
    if (!handle_ok(h))
        return -1;
    return vexa_http_get(h, 0, http_datawrite_callback, h, nullptr, nullptr, conn);
}

int vexa_http_start_post_file(vexa_http *h, const char *video_path, const char *img_path, vexa_http_conn *conn)
{
    return post_form(h, conn, [&](curl_mime *form) {
        return (!video_path || add_file_parts(form, "video", video_path)) &&
               (!img_path || add_file_parts(form, "img", img_path)) && add_text_part(form, "submit", "send");
    });
}

int vexa_http_start_post_file_enc(vexa_http *h, vexa_http_stream *video, vexa_http_stream *img,
                                  vexa_http_conn *conn)
{
    if (h && !h->read_callback) {
        KO_LOGE(VEXA_HTTP_MODULE, "read callback is not set\n");
        return -1;
    }
    return post_form(h, conn, [&](curl_mime *form) {
        auto parts = [&](const char *name, const char *sign, vexa_http_stream *s) {
            return add_stream_part(form, name, name, s->content_length, h->read_callback, s) &&
                   add_stream_part(form, sign, name, 64, h->read_callback, s);
        };
        return (!video || parts("video", "videoSignMF", video)) && (!img || parts("img", "imgSignMF", img)) &&
               add_text_part(form, "submit", "send");
    });
}

int vexa_http_start_post_meta(vexa_http *h, const char *body, vexa_http_conn *conn)
{
    return post_body(h, body, conn, true);
}

int vexa_http_start_post_data(vexa_http *h, const char *body, vexa_http_conn *conn)
{
    return post_body(h, body, conn, false);
}

int vexa_http_disconnect(vexa_http_conn *conn)
{
    if (!conn || !*conn)
        return -1;
    curl_easy_cleanup(*conn);
    *conn = nullptr;
    return 0;
}
