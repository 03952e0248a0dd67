// The HTTP client against a local HTTPS server (tests/peers/http_server.py) whose certificate is
// signed by a CA made with the openssl CLI and installed as the root's "/mnt/data/cacert.pem".
#include "common/http/vexa_http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "zel_test_support.h"
#include "zelmar/zel_crypto.h"

namespace {

std::string sha256_hex(const std::string &data)
{
    uint8_t d[ZEL_SHA256_LEN];
    zel_crypto_sha256(data.data(), data.size(), d);
    static const char *x = "0123456789abcdef";
    std::string out;
    for (uint8_t c : d) {
        out += x[c >> 4];
        out += x[c & 15];
    }
    return out;
}

std::string file_bytes(size_t from)
{
    std::string s;
    for (size_t i = from; i < 100000; ++i)
        s += static_cast<char>(i * 7 % 251);
    return s;
}

size_t append_cb(char *data, size_t size, size_t n, void *user)
{
    static_cast<std::string *>(user)->append(data, size * n);
    return size * n;
}

class Https : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string d = root_.dir();
        ASSERT_TRUE(zeltest::make_https_certs(root_));
        port_ = zeltest::free_tcp_port();
        log_ = d + "/server.log";
        server_ = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("http_server.py", {std::to_string(port_), d + "/srv.pem", d + "/srv.key"}),
            std::vector<std::string>{}, log_);
        ASSERT_TRUE(zeltest::wait_until(
            [&] {
                std::ifstream in(log_);
                std::string line;
                return std::getline(in, line) && line == "ready";
            },
            std::chrono::seconds(20)));
    }

    std::string url(const std::string &path, const char *host = "localhost") const
    {
        return "https://" + std::string(host) + ":" + std::to_string(port_) + path;
    }

    zeltest::TempRoot root_;
    int port_ = 0;
    std::string log_;
    std::unique_ptr<zeltest::ChildProcess> server_;
};

struct Handle {
    explicit Handle(const std::string &u, const char *cookie = nullptr) : h(vexa_http_new(u.c_str(), 3, cookie, 0)) {}
    ~Handle() { vexa_http_free(h); }
    vexa_http *h;
};

} // namespace

TEST_F(Https, GetIntoTheReplyBufferWithAKeptConnection)
{
    Handle a(url("/hello")), c(url("/cookie"), "serviceToken=abc");
    ASSERT_NE(a.h, nullptr);
    EXPECT_EQ(a.h->flag, 3);
    vexa_http_conn conn = nullptr;
    EXPECT_EQ(vexa_http_start_request_get(a.h, &conn), 0);
    EXPECT_STREQ(a.h->reply, "hello from server");
    EXPECT_EQ(a.h->result, CURLE_OK);
    ASSERT_NE(conn, nullptr) << "the handle stays in the slot";
    EXPECT_EQ(vexa_http_start_request_get(c.h, &conn), 0);
    EXPECT_STREQ(c.h->reply, "serviceToken=abc");
    EXPECT_EQ(vexa_http_disconnect(&conn), 0);
    EXPECT_EQ(conn, nullptr);
    EXPECT_EQ(vexa_http_disconnect(&conn), -1);
    EXPECT_EQ(vexa_http_disconnect(nullptr), -1);
}

TEST_F(Https, LongReplyIsCutAndNotFoundIsItsCode)
{
    Handle big(url("/big", "127.0.0.1")), missing(url("/missing"));
    EXPECT_EQ(vexa_http_start_request_get(big.h, nullptr), 0);
    std::string want;
    for (int i = 0; i < 4095; ++i)
        want += static_cast<char>('A' + i % 26);
    EXPECT_EQ(std::string(big.h->reply), want);
    EXPECT_EQ(vexa_http_start_request_get(missing.h, nullptr), 404);
    EXPECT_EQ(std::string(missing.h->reply, VEXA_HTTP_REPLY_SIZE), std::string(VEXA_HTTP_REPLY_SIZE, '\0'));
}

TEST_F(Https, GetWithCallerCallbacks)
{
    Handle h(url("/file"));
    std::string body, headers;
    EXPECT_EQ(vexa_http_get(h.h, 0, append_cb, &body, append_cb, &headers, nullptr), 0);
    EXPECT_EQ(body, file_bytes(0));
    EXPECT_NE(headers.find("X-Seen-Range: none"), std::string::npos);
    EXPECT_EQ(vexa_http_get(h.h, 0, nullptr, &body, nullptr, nullptr, nullptr), -1);
}

TEST_F(Https, PostsReturnWhatTheServerSent)
{
    Handle meta(url("/echo")), data(url("/echo"));
    EXPECT_EQ(vexa_http_start_post_meta(meta.h, "{\"meta\":1}", nullptr), 0);
    const std::string r1 = meta.h->reply;
    EXPECT_EQ(r1.rfind("HTTP/1.", 0), 0u) << "headers come first in the reply";
    EXPECT_EQ(r1.substr(r1.size() - 10), "{\"meta\":1}");
    vexa_http_conn conn = nullptr;
    EXPECT_EQ(vexa_http_start_post_data(data.h, "a=1&b=two", &conn), 0);
    EXPECT_NE(std::string(data.h->reply).find("\r\n\r\na=1&b=two"), std::string::npos);
    vexa_http_disconnect(&conn);
}

TEST_F(Https, FormPostOfFiles)
{
    const std::string video(30000, 'v'), img = "\xff\xd8jpeg\xff\xd9";
    root_.write_file("/tmp/clip.mp4", video);
    root_.write_file("/tmp/pic.jpg", img);
    const std::string vp = root_.path("/tmp/clip.mp4"), ip = root_.path("/tmp/pic.jpg");
    Handle h(url("/form"));
    ASSERT_EQ(vexa_http_start_post_file(h.h, vp.c_str(), ip.c_str(), nullptr), 0);
    const std::string r = h.h->reply;
    EXPECT_NE(r.find("video|clip.mp4|30000|" + sha256_hex(video)), std::string::npos) << r;
    EXPECT_NE(r.find("video||" + std::to_string(vp.size()) + "|" + sha256_hex(vp)), std::string::npos) << r;
    EXPECT_NE(r.find("img|pic.jpg|" + std::to_string(img.size()) + "|" + sha256_hex(img)), std::string::npos);
    EXPECT_NE(r.find("img||" + std::to_string(ip.size()) + "|" + sha256_hex(ip)), std::string::npos);
    EXPECT_NE(r.find("submit||4|" + sha256_hex("send")), std::string::npos);
}

namespace {

// A stream whose parts come from one buffer: the content, then its 64-byte trailer.
struct Source {
    vexa_http_stream stream;
    std::string bytes;
    size_t pos = 0;
};

size_t stream_read(char *buf, size_t size, size_t n, void *user)
{
    auto *st = static_cast<vexa_http_stream *>(user);
    auto *s = static_cast<Source *>(st->user);
    // Like the cloud uploader's reader: the content up to its length, then the trailer.
    const size_t content = static_cast<size_t>(st->content_length);
    const size_t end = s->pos < content ? content : s->bytes.size();
    const size_t take = std::min(size * n, end - s->pos);
    memcpy(buf, s->bytes.data() + s->pos, take);
    s->pos += take;
    return take;
}

} // namespace

TEST_F(Https, FormPostOfStreamedParts)
{
    Source video, img;
    const std::string vbody(50000, 'e'), vsign(64, 's'), ibody(1000, 'i'), isign(64, 'j');
    video.bytes = vbody + vsign;
    img.bytes = ibody + isign;
    video.stream = {static_cast<int64_t>(vbody.size()), &video};
    img.stream = {static_cast<int64_t>(ibody.size()), &img};
    Handle h(url("/form"));
    EXPECT_EQ(vexa_http_start_post_file_enc(h.h, &video.stream, &img.stream, nullptr), -1) << "no read callback";
    h.h->read_callback = stream_read;
    ASSERT_EQ(vexa_http_start_post_file_enc(h.h, &video.stream, &img.stream, nullptr), 0);
    const std::string r = h.h->reply;
    EXPECT_NE(r.find("video|video|50000|" + sha256_hex(vbody)), std::string::npos) << r;
    EXPECT_NE(r.find("videoSignMF|video|64|" + sha256_hex(vsign)), std::string::npos) << r;
    EXPECT_NE(r.find("img|img|1000|" + sha256_hex(ibody)), std::string::npos) << r;
    EXPECT_NE(r.find("imgSignMF|img|64|" + sha256_hex(isign)), std::string::npos) << r;
}

TEST_F(Https, DroppedConnectionAndUntrustedServerFail)
{
    Handle drop(url("/drop"));
    EXPECT_EQ(vexa_http_start_request_get(drop.h, nullptr), CURLE_GOT_NOTHING);
    EXPECT_EQ(drop.h->reply[0], 0);
    // With another CA in the CA file the server is refused.
    const std::string d = root_.dir();
    ASSERT_EQ(zeltest::run_command("cd " + d + " && openssl req -x509 -newkey ec -pkeyopt "
                                   "ec_paramgen_curve:prime256v1 -nodes -keyout o.key -out o.pem -days 2 "
                                   "-subj /CN=other 2>/dev/null && cp o.pem " +
                                   root_.path("/mnt/data/cacert.pem")),
              0);
    Handle hello(url("/hello"));
    EXPECT_EQ(vexa_http_start_request_get(hello.h, nullptr), CURLE_PEER_FAILED_VERIFICATION);
}

TEST_F(Https, DebugMarkerMakesHandlesVerbose)
{
    Handle quiet(url("/hello"));
    EXPECT_EQ(quiet.h->verbose, 0);
    root_.write_file("/tmp/http_debug", "");
    Handle loud(url("/hello"));
    EXPECT_EQ(loud.h->verbose, 1);
    EXPECT_EQ(vexa_http_start_request_get(loud.h, nullptr), 0);
    EXPECT_EQ(vexa_http_new(nullptr, 0, nullptr, 0), nullptr);
    EXPECT_EQ(vexa_http_free(nullptr), 0);
}

namespace {

struct Download {
    std::string body, headers;
    int progress_calls = 0;
};

size_t dl_write(char *data, size_t size, size_t n, void *user)
{
    static_cast<Download *>(user)->body.append(data, size * n);
    return size * n;
}

size_t dl_header(char *data, size_t size, size_t n, void *user)
{
    static_cast<Download *>(user)->headers.append(data, size * n);
    return size * n;
}

int dl_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    static_cast<Download *>(user)->progress_calls++;
    return 0;
}

int download(const std::string &u, int timeout, Download *d, int offset, int *error, char *ip = nullptr,
             int ip_size = 0)
{
    return vexa_http_download_ota(u.c_str(), timeout, dl_progress, d, dl_write, dl_header, d, offset, error, ip,
                                  ip_size);
}

} // namespace

TEST_F(Https, DownloadResumesWithRange)
{
    Download d;
    int error = 1;
    char ip[64];
    ASSERT_EQ(download(url("/file", "127.0.0.1"), 0, &d, 30000, &error, ip, sizeof ip), 0);
    EXPECT_EQ(d.body, file_bytes(30000));
    EXPECT_NE(d.headers.find("X-Seen-Range: bytes=30000-"), std::string::npos) << d.headers;
    EXPECT_GT(d.progress_calls, 0);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(error, 1);

    Download whole;
    ASSERT_EQ(download(url("/file"), 10, &whole, 0, nullptr), 0);
    EXPECT_EQ(whole.body, file_bytes(0));
    EXPECT_NE(whole.headers.find("X-Seen-Range: bytes=0-"), std::string::npos);
    EXPECT_EQ(vexa_http_download_ota(url("/file").c_str(), 0, nullptr, &d, dl_write, dl_header, &d, 0, nullptr,
                                     nullptr, 0),
              -1);
}

TEST_F(Https, DownloadFailuresAreMapped)
{
    Download stall;
    int error = 0;
    EXPECT_EQ(download(url("/stall"), 2, &stall, 0, &error), -1);
    EXPECT_EQ(error, VEXA_HTTP_ERR_TIMEOUT);
    EXPECT_EQ(stall.body, "0123456789");

    Download drop;
    error = 5;
    EXPECT_EQ(download(url("/drop"), 5, &drop, 0, &error), -1);
    EXPECT_EQ(error, 5) << "other failures leave the error output alone";

    Download refused;
    EXPECT_EQ(download("https://127.0.0.1:" + std::to_string(zeltest::free_tcp_port()) + "/x", 5, &refused, 0,
                       &error),
              -1);
    EXPECT_EQ(error, VEXA_HTTP_ERR_CONNECT);
}
