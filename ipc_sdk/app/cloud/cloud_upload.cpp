// The upload thread "cloud_u": logs in through the daemon, keeps the upload parameters fresh and
// uploads the queued clips in order, recovering from every failure through the error table.
#include "app/cloud/cloud_upload.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <string>

#include "app/cloud/cloud_error.h"
#include "app/cloud/cloud_list.h"
#include "app/cloud/cloud_pause.h"
#include "app/cloud/cloud_upload_test.h"
#include "app/cloud/ko_cloud_internal.h"
#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_file.h"
#include "zelmar/zel_path.h"
#include "zelmar/zel_rand.h"

namespace {

constexpr uint32_t kStackSize = 4 * 1024 * 1024;
constexpr unsigned kWatchdogLimitS = 180;
constexpr uint64_t kRefreshAgeS = 79200;
constexpr uint64_t kHandleIdleMs = 30000;
constexpr uint64_t kLongHttpMs = 10000;
constexpr int kCurlTimeout = 28;
constexpr uint32_t kLoginTimeoutStartMs = 3000, kLoginTimeoutMaxMs = 6000;
// The wait after a preUpload the cloud refused: as long as state 14 waits for a failing server.
constexpr uint32_t kRefusedWaitMs = 10000;

std::atomic<uint32_t> g_r1{0}, g_r2{0};

bool cloud_connected()
{
    ko_sdk_info *sdk = ko_ipc_get_sdk_info();
    if (!sdk)
        return false;
    pthread_mutex_lock(&sdk->mutex);
    const bool on = sdk->camera_state == KO_CAMERA_STATE_CLOUD_CONNECTED;
    pthread_mutex_unlock(&sdk->mutex);
    return on;
}

// The UTC date as one comparable number (year, month, day).
int utc_day(uint64_t wall_ms)
{
    const time_t t = static_cast<time_t>(wall_ms / 1000);
    struct tm tm {};
    gmtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

bool file_exists(const char *path, uint32_t *size = nullptr)
{
    struct stat st {};
    if (!path[0] || stat(zel_path(path).c_str(), &st) != 0)
        return false;
    if (size)
        *size = static_cast<uint32_t>(st.st_size);
    return true;
}

class uploader {
public:
    explicit uploader(cloud_record_ctx_t &c) : c_(c), rec_(c.shared), up_(cloud_upload_ctx()) {}

    void run()
    {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, kWatchdogLimitS);
        const ko_sdk_info *sdk = ko_ipc_get_sdk_info();
        if (!sdk) {
            KO_LOGE(CLOUD_MODULE, "ko_ipc_get_sdk_info is NULL ,exit\n");
            thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
            return;
        }
        begin(sdk);
        while (rec_.running.load()) {
            thread_alive_update_status(THREAD_ALIVE_RUNNING, kWatchdogLimitS);
            step();
        }
        cloud_http_disconnect(&up_.get_conn);
        cloud_http_disconnect(&up_.post_conn);
        cloud_node_release_copy();
        thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
        KO_LOGI(CLOUD_MODULE, "Cloud upload thread exit!\n");
    }

private:
    void begin(const ko_sdk_info *sdk)
    {
        uint8_t margin[2];
        rand_bytes(margin, sizeof margin);
        g_r1 = static_cast<uint32_t>(margin[0] | margin[1] << 8) % 3600;
        std::lock_guard<std::mutex> lock(up_.mutex);
        snprintf(up_.model, sizeof up_.model, "%s", sdk->param.model);
        rand_bytes(up_.iv, sizeof up_.iv);
        up_.active = {};
        up_.prefetch = {};
        up_.offset = 0;
        up_.rec = &rec_;
        cloud_upload_shared().active_file_id[0] = 0;
        cloud_upload_link &link = cloud_upload_shared();
        applied_ = link.login.generation;
        link.pending_id = 0;
        link.late_id = 0;
        link.replied = 0;
        link.file_id_reset = 0;
    }

    bool pause(uint32_t ms) { return cloud_pause_ms(&rec_, ms); }

    int after_resume(int fallback)
    {
        const int next = resume_ != CLOUD_RESUME_NONE ? resume_ : fallback;
        resume_ = CLOUD_RESUME_NONE;
        return next;
    }

    // The credentials of the latest login reply, copied in before a request uses them.
    void sync_credentials()
    {
        std::lock_guard<std::mutex> lock(up_.mutex);
        const cloud_login_record &l = cloud_upload_shared().login;
        if (l.generation == applied_)
            return;
        applied_ = l.generation;
        std::memcpy(up_.domain, l.domain, sizeof up_.domain);
        std::memcpy(up_.session_key, l.key, sizeof l.key);
        std::memcpy(up_.token, l.token, sizeof up_.token);
        std::memcpy(up_.iv, l.iv, sizeof up_.iv);
        up_.login_time_s = static_cast<int64_t>(l.tick_s);
    }

    void publish_active()
    {
        std::lock_guard<std::mutex> lock(up_.mutex);
        cloud_upload_link &link = cloud_upload_shared();
        std::memcpy(link.active_file_id, up_.active.file_id, sizeof link.active_file_id);
    }

    void count(cloud_upload_counter c, uint32_t n = 1) { cloud_upload_counters()[c] += n; }

    void step()
    {
        if (state_ >= 0 && state_ <= 8 && state_ != last_state_)
            count(static_cast<cloud_upload_counter>(UP_STEP1 + state_));
        last_state_ = state_;
        switch (state_) {
        case 0:
            if (cloud_connected())
                state_ = 1;
            else
                pause(50);
            break;
        case 1: login(); break;
        case 2: wait_login(); break;
        case 3: gop(); break;
        case 4: pre_upload(); break;
        case 5:
        case 6: refresh(); break;
        case 7: idle(); break;
        case 8: file_id_check(); break;
        case 10: upload(); break;
        case 12: face(); break;
        case 13: finish(); break;
        case 14:
            pause(10000);
            state_ = after_resume(7);
            break;
        default:
            KO_LOGE(CLOUD_MODULE, "cloud_upload status machine err:%d\n", state_);
            state_ = 7;
            break;
        }
    }

    void login()
    {
        KO_LOGI(CLOUD_MODULE, "cloud up send get token request\n");
        cloud_upload_link &link = cloud_upload_shared();
        link.replied = 0;
        {
            std::lock_guard<std::mutex> lock(up_.mutex);
            up_.token_valid = 0;
        }
        if (cloud_login_send() != 0)
            KO_LOGE(CLOUD_MODULE, "cloud login request not sent\n");
        login_sent_ms_ = vexa_time_tick_ms();
        state_ = 2;
    }

    void wait_login()
    {
        if (cloud_upload_shared().replied.load()) {
            state_ = after_resume(3);
            return;
        }
        if (ko_sub_uint64(vexa_time_tick_ms(), login_sent_ms_) >= login_timeout_ms_) {
            KO_LOGW(CLOUD_MODULE, "cloud login reply not in %u ms\n", login_timeout_ms_);
            login_timeout_ms_ = std::min(login_timeout_ms_ + 2, kLoginTimeoutMaxMs);
            state_ = 0;
            return;
        }
        pause(100);
    }

    void gop()
    {
        sync_credentials();
        if (cloud_http_config_get_gop(&up_) == 0) {
            int gop, cloud, alarm;
            {
                std::lock_guard<std::mutex> lock(rec_.mutex);
                gop = rec_.gop;
                cloud = rec_.cloud_offset_limit;
                alarm = rec_.alarm_offset_limit;
            }
            ko_cloud_set_video_gop(gop, cloud, alarm);
        }
        state_ = after_resume(6);
    }

    void pre_upload()
    {
        sync_credentials();
        cloud_upload_slot_t &slot = into_prefetch_ ? up_.prefetch : up_.active;
        const int rc = cloud_http_pre_upload_request(&up_, &slot);
        if (rc != 0) {
            if ((rc >= 400 && rc < 500) || (rc >= 400000 && rc < 500000))
                hold_after_refusal(rc);
            fail(rc);
            return;
        }
        refused_ = false;
        count(UP_FILE_ID);
        if (!into_prefetch_)
            publish_active();
        into_prefetch_ = false;
        state_ = after_resume(7);
    }

    // With no clip queued, every way out of a refused preUpload leads straight back to it: the next
    // request waits, and refusals in a row are logged once.
    void hold_after_refusal(int code)
    {
        if (!refused_)
            KO_LOGW(CLOUD_MODULE, "cloud preUpload refused with %d, asked again after %u ms\n", code,
                    kRefusedWaitMs);
        refused_ = true;
        pause(kRefusedWaitMs);
    }

    bool account_expired()
    {
        std::lock_guard<std::mutex> lock(rec_.mutex);
        return rec_.expired != 0;
    }

    void refresh()
    {
        sync_credentials();
        int rc = cloud_http_config_get(&up_);
        if (rc == 0)
            rc = cloud_http_get_vipstatus(&up_);
        if (rc != 0) {
            fail(rc);
            return;
        }
        refreshed_ = true;
        refresh_tick_s_ = vexa_time_tick_s();
        state_ = after_resume(4);
    }

    void idle()
    {
        const uint64_t now_s = vexa_time_tick_s();
        if (!refreshed_ || ko_sub_uint64(now_s, refresh_tick_s_) > kRefreshAgeS + g_r2.load()) {
            if (refreshed_)
                refresh_tick_s_ = now_s;
            state_ = 6;
            resume_ = 7;
            pause(200);
            return;
        }
        uint64_t login_s;
        {
            std::lock_guard<std::mutex> lock(up_.mutex);
            login_s = cloud_upload_shared().login.tick_s;
        }
        if (ko_sub_uint64(now_s, login_s) > kRefreshAgeS + g_r1.load()) {
            state_ = 1;
            resume_ = 7;
            return;
        }
        if (take_clip()) {
            state_ = 8;
            return;
        }
        // A lapsed account uploads nothing before the next UTC day: no fileId is asked for meanwhile.
        if (up_.prefetch.state == 2 || account_expired()) {
            pause(200);
            return;
        }
        into_prefetch_ = true;
        state_ = 4;
        resume_ = 7;
    }

    // Copies out the head clip that can be sent: false when there is none (yet).
    bool take_clip()
    {
        const uint64_t tick = vexa_time_tick_ms();
        for (vexa_http_conn *conn : {&up_.get_conn, &up_.post_conn}) {
            const uint64_t used = conn == &up_.get_conn ? up_.get_used_ms : up_.post_used_ms;
            if (*conn && ko_sub_uint64(tick, used) > kHandleIdleMs)
                cloud_http_disconnect(conn);
        }
        cloud_node_release_copy();
        bool vip, on, expired;
        int expired_day;
        {
            std::lock_guard<std::mutex> lock(rec_.mutex);
            vip = rec_.vip;
            on = rec_.cloud_switch;
            expired = rec_.expired;
            expired_day = expired_day_;
        }
        if (vip && !on)
            cloud_list_delete_all();
        if (expired) {
            if (utc_day(vexa_time_get_ms()) <= expired_day)
                return false;
            std::lock_guard<std::mutex> lock(rec_.mutex);
            rec_.expired = 0;
        }
        int32_t queued = 0;
        cloud_list_usage(&queued, nullptr, nullptr);
        std::atomic<uint32_t> &most = cloud_upload_counters()[UP_MP4_CACHE_MAX];
        if (static_cast<uint32_t>(queued) > most)
            most = static_cast<uint32_t>(queued);
        if (cloud_list_getfile(&clip_) <= 0) {
            have_clip_ = false;
            return false;
        }
        have_clip_ = true;
        if (!file_exists(clip_.mp4_path) || !file_exists(clip_.jpeg_path, &jpeg_size_)) {
            KO_LOGE(CLOUD_MODULE, "clip %s or its snapshot is missing, dropped\n", clip_.mp4_path);
            count(UP_JPEG_MP4_ERR);
            drop_clip();
            return false;
        }
        return true;
    }

    // Forgets the copy of the last clip (the list owns what it points to).
    void cloud_node_release_copy()
    {
        have_clip_ = false;
        clip_ = {};
    }

    void drop_clip()
    {
        if (have_clip_)
            cloud_list_delete_node(clip_.create_tick_ms, clip_.mp4_path);
        have_clip_ = false;
    }

    void new_file_id()
    {
        KO_LOGI(CLOUD_MODULE, "update fileid, file %s group is %d\n", clip_.mp4_path, clip_.group);
        up_.offset = 0;
        group_ = clip_.group;
        if (up_.prefetch.state == 2) {
            up_.active = up_.prefetch;
            up_.prefetch = {};
            publish_active();
            state_ = 10;
            return;
        }
        up_.active = {};
        publish_active();
        into_prefetch_ = false;
        state_ = 4;
        resume_ = 10;
    }

    void file_id_check()
    {
        KO_LOGI(CLOUD_MODULE, "last createtime is %" PRIu64 "\n", clip_.create_tick_ms);
        if (cloud_upload_shared().file_id_reset.exchange(0)) {
            new_file_id();
        } else if (up_.active.state == 2 && (group_ == 0 || clip_.group == group_)) {
            state_ = 10;
        } else {
            KO_LOGI(CLOUD_MODULE, "upload file %s new group is %d, apply new fileid!\n", clip_.mp4_path, clip_.group);
            new_file_id();
        }
    }

    void upload()
    {
        if (!have_clip_) {
            state_ = 7;
            return;
        }
        sync_credentials();
        KO_LOGI(CLOUD_MODULE, "start to post media file %s , filesize %d.\n", clip_.mp4_path, static_cast<int>(clip_.size));
        bool media;
        {
            std::lock_guard<std::mutex> lock(rec_.mutex);
            media = rec_.vip || rec_.vip_expiry_ms > static_cast<int64_t>(vexa_time_get_ms());
        }
        const uint64_t start = vexa_time_tick_ms();
        const int rc = media ? cloud_http_file_post(&up_, &clip_) : cloud_http_post_event(&up_, &clip_);
        post_ms_ = ko_sub_uint64(vexa_time_tick_ms(), start);
        count(media ? UP_POST_FILE : UP_POST_META);
        count(media ? UP_POST_FILE_RETRY : UP_POST_META_RETRY, up_.post_retries);
        if (media)
            count(UP_MP4_ENCRYPT_ERR, up_.mp4_encrypt_errors);
        if (post_ms_ > kLongHttpMs)
            count(UP_LONG_HTTP);
        if (rc == kCurlTimeout)
            count(media ? UP_POST_FILE_TIMEOUT : UP_POST_META_TIMEOUT);
        if (rc != 0) {
            count(media ? UP_POST_FILE_ERR : UP_POST_META_ERR);
            KO_LOGE(CLOUD_MODULE, "cloud file: %s upload failed , res:%d\n", clip_.mp4_path, rc);
            fail(rc);
            return;
        }
        KO_LOGI(CLOUD_MODULE, "file: %s upload ok \n", clip_.mp4_path);
        avg_ms_ = (avg_ms_ + post_ms_) / 2;
        avg_bytes_ = (avg_bytes_ + clip_.size) / 2;
        std::atomic<uint32_t> *u = cloud_upload_counters();
        u[media ? UP_POST_FILE_AVG_MS : UP_POST_META_AVG_MS] = static_cast<uint32_t>(avg_ms_);
        if (media)
            u[UP_POST_FILE_AVG_BYTE] = static_cast<uint32_t>(avg_bytes_);
        state_ = (static_cast<uint32_t>(clip_.event.types) & CLOUD_FACE_BITS) ? 12 : 13;
    }

    void face()
    {
        sync_credentials();
        const int rc = cloud_http_face_jpeg_post(&up_, &clip_);
        if (rc == -1 && access(zel_path(CLOUD_FACE_ENC_PATH).c_str(), F_OK) != 0)
            count(UP_PIC_ENCRYPT_ERR);
        if (rc != 0) {
            fail(rc);
            return;
        }
        state_ = 13;
    }

    void finish()
    {
        up_.offset++;
        if (clip_.group != 0)
            group_ = clip_.group;
        timeouts_ = 0;
        const cloud_file_node_t sent = clip_;
        drop_clip();
        const uint64_t speed = static_cast<uint64_t>(sent.size) * 1000u / (post_ms_ + 1);
        {
            std::lock_guard<std::mutex> lock(rec_.mutex);
            c_.upload_speed = static_cast<uint32_t>(std::min<uint64_t>(speed, UINT32_MAX));
        }
        const std::string face = zel_path(CLOUD_FACE_ENC_PATH);
        if (access(face.c_str(), F_OK) == 0 && unlink(face.c_str()) != 0)
            KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
        if (c_.param.upload_cb)
            c_.param.upload_cb(static_cast<uint32_t>(sent.event.types), static_cast<int32_t>(sent.event.types >> 32), 7);
        KO_LOGI(CLOUD_MODULE, "file_size:%u,file_ms:%u,jpeg_ms:%u,net_speed=%u byte/s\n", sent.size,
                static_cast<unsigned>(post_ms_), jpeg_size_, static_cast<unsigned>(std::min<uint64_t>(speed, UINT32_MAX)));
        state_ = 7;
    }

    void fail(int code)
    {
        KO_LOGE(CLOUD_MODULE, "cloud_up error:%d,now=%d\n", code, state_);
        const cloud_error_step s = cloud_error_map(code, state_, resume_, cloud_connected(), timeouts_);
        timeouts_ = s.timeouts;
        if (s.expire) {
            std::lock_guard<std::mutex> lock(rec_.mutex);
            rec_.expired = 1;
            expired_day_ = utc_day(vexa_time_get_ms());
        }
        if (s.delete_all)
            cloud_list_delete_all();
        if (s.reset_file_id)
            cloud_upload_shared().file_id_reset = 1;
        if (s.drop && (state_ == 10 || state_ == 12))
            drop_clip();
        state_ = s.next;
        resume_ = s.resume;
    }

    cloud_record_ctx_t &c_;
    cloud_record_state_t &rec_;
    cloud_upload_ctx_t &up_;
    int state_ = 0;
    int last_state_ = -1;
    int resume_ = CLOUD_RESUME_NONE;
    int32_t group_ = 0;
    cloud_file_node_t clip_{};
    bool have_clip_ = false;
    uint32_t jpeg_size_ = 0;
    bool into_prefetch_ = false;
    bool refused_ = false; // the last preUpload was refused by the cloud
    uint32_t login_timeout_ms_ = kLoginTimeoutStartMs;
    uint64_t login_sent_ms_ = 0;
    bool refreshed_ = false;
    uint64_t refresh_tick_s_ = 0;
    int timeouts_ = 0;
    int expired_day_ = 0; // under rec_.mutex
    uint64_t post_ms_ = 0, avg_ms_ = 0, avg_bytes_ = 0;
    uint32_t applied_ = 0;
};

void *_task_upload(void *arg)
{
    uploader u(*static_cast<cloud_record_ctx_t *>(arg));
    u.run();
    return nullptr;
}

ko_thread *g_thread = nullptr;

} // namespace

int cloud_upload_start(cloud_record_ctx_t *ctx)
{
    if (!ctx)
        return -2;
    const std::string dir = zel_path(ctx->dir);
    std::string made = dir;
    if (mkdir_recursive(made.data(), 0755) != 0)
        KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "mkdir", strerror(errno));
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            if (!strstr(e->d_name, ".mp4") && !strstr(e->d_name, ".jpeg"))
                continue;
            const std::string path = dir + "/" + e->d_name;
            struct stat st {};
            if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(path.c_str()) != 0)
                KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
        }
        closedir(d);
    }
    cloud_upload_ctx().rec = &ctx->shared;
    g_r2 = rand_range(1, 7200);
    ko_thread_attr attr{};
    attr.stack_size = kStackSize;
    snprintf(attr.name, sizeof attr.name, "cloud_u");
    g_thread = ko_thread_run(&attr, _task_upload, ctx);
    return g_thread ? 0 : -2;
}

void cloud_upload_exit(cloud_record_ctx_t *ctx)
{
    (void)ctx;
    cloud_pause_wake();
    ko_thread_destory(g_thread);
    g_thread = nullptr;
    cloud_upload_ctx_t &up = cloud_upload_ctx();
    std::lock_guard<std::mutex> lock(up.mutex);
    up.token_valid = 0;
}

void cloud_upload_test_margins(uint32_t *r1, uint32_t *r2)
{
    if (r1)
        *r1 = g_r1.load();
    if (r2)
        *r2 = g_r2.load();
}
