// The sound file downloader on libcurl.
#include "zel_app_sdk/zel_tolk/zel_tolk_sound.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_time.h"
#include "zelmar/zel_file.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk_sound";
constexpr const char *kDownloadDir = "/tmp/download/";
constexpr const char *kTempName = "tmp_file";
constexpr const char *kDefaultSound = "/mnt/data/sound/cn/error";
constexpr const char *kDefaultCopy = "dest_file";
constexpr const char *kCaFile = "/mnt/usr/ssl/certs/ca-certificates.crt";
constexpr size_t kMaxPath = 127;
constexpr int64_t kClockValidAfter = 1438992488;
constexpr int kClockWaits = 21;
constexpr long kTransferTimeoutS = 300;
constexpr size_t kCopyBlock = 100;
constexpr size_t kMaxText = 999999;

// The state of the one download that runs, guarded by `lock` for the whole download.
struct Download {
    std::mutex lock;
    CURL *curl = nullptr;
    CURLcode result = CURLE_OK;
    FILE *file = nullptr;
    long long written = 0;
    long long expected = -1;
    bool write_failed = false;
};
Download g_download;

bool valid_name(const char *name)
{
    return name && *name && !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
           strlen(kDownloadDir) + strlen(name) <= kMaxPath;
}

bool dir_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int make_download_dir(const std::string &dir)
{
    if (dir_exists(dir))
        return 0;
    std::string path = dir;
    if (mkdir_recursive(&path[0], 0777) != 0) {
        ZEL_LOGE(TAG, "make DIR %s failed \n", dir.c_str());
        return -1;
    }
    return 0;
}

size_t util_header_callback(char *buffer, size_t size, size_t nitems, void *)
{
    const size_t n = size * nitems;
    long code = 0;
    curl_easy_getinfo(g_download.curl, CURLINFO_RESPONSE_CODE, &code);
    if (code != 0 && code != 200) {
        ZEL_LOGE(TAG, "http code error: %ld\n", code);
        return 0;
    }
    static constexpr char kLength[] = "Content-Length:";
    if (n > sizeof kLength - 1 && strncasecmp(buffer, kLength, sizeof kLength - 1) == 0) {
        const std::string value(buffer + sizeof kLength - 1, n - (sizeof kLength - 1));
        g_download.expected = strtoll(value.c_str(), nullptr, 10);
        ZEL_LOGI(TAG, "file size= %d\n", static_cast<int>(g_download.expected));
    }
    return n;
}

// A chunk that cannot be written whole fails the transfer: a cut file must never be taken as done.
size_t util_write_to_buffer(char *data, size_t size, size_t nmemb, void *)
{
    const size_t n = size * nmemb;
    if (!g_download.file)
        return n;
    if (fwrite(data, 1, n, g_download.file) != n) {
        ZEL_LOGE(TAG, "write %zu bytes failed: %m\n", n);
        g_download.write_failed = true;
        return 0;
    }
    g_download.written += static_cast<long long>(n);
    if (g_download.written == g_download.expected)
        ZEL_LOGI(TAG, "write file complete\n");
    return n;
}

// Flushes the temporary file to the card and closes it: true when every byte is stored.
bool finish_file(FILE *file)
{
    const bool stored = fflush(file) == 0 && fsync(fileno(file)) == 0;
    return fclose(file) == 0 && stored;
}

void sync_dir(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void wait_for_clock()
{
    for (int i = 0; i < kClockWaits && zel_time_wall_us() / 1000000 <= kClockValidAfter; ++i) {
        ZEL_LOGW(TAG, "time stamp is not correct ,sleep 5s\n");
        sleep(5);
    }
}

} // namespace

extern "C" int download_file(const char *url)
{
    CURL *curl = g_download.curl;
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, util_write_to_buffer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, util_header_callback);
    const std::string ca = zel_path(kCaFile);
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutS);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    g_download.result = curl_easy_perform(curl);
    if (g_download.result == CURLE_OK) {
        ZEL_LOGI(TAG, "received %lld bytes\n", g_download.written);
    } else {
        ZEL_LOGE(TAG, "curl ended with error info: %d\n", g_download.result);
        ZEL_LOGE(TAG, "curl ended with error info: %s\n", curl_easy_strerror(g_download.result));
    }
    curl_easy_cleanup(curl);
    g_download.curl = nullptr;
    return g_download.result;
}

extern "C" int sound_resource_download(const char *url, const char *name)
{
    if (!url || !valid_name(name)) {
        ZEL_LOGE(TAG, "refused sound name %s\n", name ? name : "(null)");
        return -1;
    }
    const std::string dir = zel_path(kDownloadDir);
    const std::string temp = dir + kTempName;
    const std::string final_path = dir + name;
    if (make_download_dir(dir) != 0)
        return -1;
    std::lock_guard<std::mutex> hold(g_download.lock);
    g_download.file = fopen(temp.c_str(), "we");
    if (!g_download.file) {
        ZEL_LOGE(TAG, " fail to open %s\n", temp.c_str());
        return -1;
    }
    g_download.written = 0;
    g_download.expected = -1;
    g_download.write_failed = false;
    wait_for_clock();
    g_download.curl = curl_easy_init();
    int ret = -1;
    if (!g_download.curl)
        ZEL_LOGE(TAG, "curl_easy_init failed\n");
    else
        ret = download_file(url);
    ZEL_LOGI(TAG, "url = %s,download ret=%d\n", url, ret);
    FILE *file = g_download.file;
    g_download.file = nullptr;
    const bool complete = g_download.expected < 0 || g_download.written == g_download.expected;
    if (!finish_file(file) || ret != CURLE_OK || g_download.write_failed || !complete) {
        ZEL_LOGE(TAG, "download of %s failed, %s kept\n", url, final_path.c_str());
        return -1;
    }
    if (rename(temp.c_str(), final_path.c_str()) != 0) {
        ZEL_LOGE(TAG, "rename %s to %s failed: %m\n", temp.c_str(), final_path.c_str());
        return -1;
    }
    sync_dir(dir);
    return 0;
}

extern "C" int cp_file(const char *from, const char *to)
{
    ZEL_LOGI(TAG, "cp_file \n");
    if (!from || !to) {
        ZEL_LOGE(TAG, " source or dest file path err\n");
        return -1;
    }
    struct stat st;
    if (stat(from, &st) != 0 || st.st_size <= 0) {
        ZEL_LOGE(TAG, " file %s size is <= 0\n", from);
        return -1;
    }
    FILE *in = fopen(from, "re");
    if (!in) {
        ZEL_LOGE(TAG, "open %s in read mode failed \n", from);
        return -1;
    }
    FILE *out = fopen(to, "we");
    if (!out) {
        ZEL_LOGE(TAG, "open %s in write mode failed\n", to);
        fclose(in);
        return -1;
    }
    char block[kCopyBlock];
    bool ok = true;
    size_t n;
    while (ok && (n = fread(block, 1, sizeof block, in)) > 0)
        ok = fwrite(block, 1, n, out) == n;
    ok = ok && !ferror(in);
    ok = fclose(out) == 0 && ok;
    fclose(in);
    if (!ok) {
        ZEL_LOGE(TAG, "copy %s to %s failed\n", from, to);
        return -1;
    }
    ZEL_LOGI(TAG, "write over\n");
    return 0;
}

extern "C" int create_sound_dir(void)
{
    const std::string dir = zel_path(kDownloadDir);
    if (make_download_dir(dir) != 0)
        return -1;
    const std::string copy = dir + kDefaultCopy;
    if (access(copy.c_str(), F_OK) == 0) {
        ZEL_LOGI(TAG, "file exist\n");
        return 0;
    }
    cp_file(zel_path(kDefaultSound).c_str(), copy.c_str());
    return 0;
}

extern "C" size_t write_data(void *ptr, size_t size, size_t nmemb, void *stream)
{
    const size_t n = size * nmemb;
    char *text = static_cast<char *>(stream);
    if (!ptr || !text)
        return 0;
    const size_t have = strlen(text);
    if (have + n > kMaxText)
        return 0;
    memcpy(text + have, ptr, n);
    text[have + n] = '\0';
    return n;
}
