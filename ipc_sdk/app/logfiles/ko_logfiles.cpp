// The log-upload service: its bus keys, the thread "logup" that asks the owner for log files once a
// second when an upload is allowed, and the statistics report.
#include "app/logfiles/ko_logfiles.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/logfiles/ko_logfiles_internal.h"
#include "app/logfiles/ko_logfiles_test.h"
#include "common/ipc/ko_message.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_path.h"

namespace ko_logfiles {

namespace {

constexpr const char *kMethods[] = {"set_dlog_switch", "get_dlog_switch", "async_device_feedback_log",
                                    "set_dlog_accept"};
constexpr const char *kUrlMethod = "_sync.get_devicelog_url"; // announced so that its reply comes back here
constexpr unsigned kWatchdogLimitS = 1440;
constexpr uint64_t kWindowPauseS = 1200; // between two uploads of an open logging window
constexpr size_t kStack = 4u << 20;
constexpr int kFilesMax = 4;

// The counters of "log_upload.info", in the report's order.
enum Counter { kTotalFile, kErrUploadFile, kErrCodeLast, kErrUpload, kErrAccess, kStep1, kStep2, kStep3, kStep4, kCount };
constexpr const char *kCounterNames[kCount] = {"total_file", "err_upload_file", "err_code_last",
                                               "err_upload", "err_access",      "step1",
                                               "step2",      "step3",           "step4"};

struct Service {
    std::mutex lock; // start and stop
    ko_logfiles_list_cb callback = nullptr;
    pthread_t thread{};
    std::atomic<bool> running{false};
    std::atomic<int> counters[kCount]{};
    uint64_t last_upload_s = 0; // monotonic; 0 before the first upload (thread only)
};

Service &service()
{
    static Service s;
    return s;
}

struct Listed {
    char path[KO_LOGFILES_PATH_LEN];
    bool auto_remove;
};

// Asks the owner for files: the ones that exist (at most kFilesMax listed), or none.
std::vector<Listed> ask_files(Service &svc, ko_logfiles_list_cb callback)
{
    svc.counters[kStep2]++;
    std::vector<char> list(KO_LOGFILES_LIST_MAX * KO_LOGFILES_ENTRY_SIZE, 0);
    const int n = callback(list.data(), KO_LOGFILES_LIST_MAX, 1);
    svc.counters[kStep3]++;
    std::vector<Listed> files;
    if (n <= 0)
        return files;
    if (n > kFilesMax) {
        KO_LOGE(kModule, "invalid log files num %d\n", n);
        return files;
    }
    for (int i = 0; i < n; ++i) {
        const char *entry = list.data() + static_cast<size_t>(i) * KO_LOGFILES_ENTRY_SIZE;
        Listed f{};
        std::memcpy(f.path, entry, KO_LOGFILES_PATH_LEN);
        f.auto_remove = entry[KO_LOGFILES_PATH_LEN] != 0;
        const size_t len = strnlen(f.path, KO_LOGFILES_PATH_LEN);
        if (len == KO_LOGFILES_PATH_LEN || access(zel_path(std::string(f.path, len)).c_str(), F_OK) != 0) {
            KO_LOGE(kModule, "file access err F_OK:%.*s\n", static_cast<int>(len), f.path);
            svc.counters[kErrAccess]++;
            continue;
        }
        files.push_back(f);
    }
    return files;
}

void upload(Service &svc, const std::vector<Listed> &files)
{
    svc.counters[kStep4]++;
    std::vector<char> paths(files.size() * KO_LOGFILES_PATH_LEN);
    for (size_t i = 0; i < files.size(); ++i)
        std::memcpy(&paths[i * KO_LOGFILES_PATH_LEN], files[i].path, KO_LOGFILES_PATH_LEN);
    const int n = static_cast<int>(files.size());
    const int rc = ko_log_upload_start(reinterpret_cast<const char(*)[KO_LOGFILES_PATH_LEN]>(paths.data()), n, 0);
    svc.counters[kTotalFile] += n;
    if (rc != KO_LOG_UPLOAD_OK) {
        svc.counters[kErrUpload]++;
        svc.counters[kErrUploadFile] += n;
        svc.counters[kErrCodeLast] = rc;
        KO_LOGE(kModule, "logup err: upload failed %d, the files stay\n", rc);
        return;
    }
    // Only files the cloud has taken may go.
    for (const Listed &f : files)
        if (f.auto_remove && unlink(zel_path(f.path).c_str()) != 0)
            KO_LOGE(kModule, "remove fail,file=%s!\n", f.path);
}

void *logup(void *)
{
    Service &svc = service();
    pthread_setname_np(pthread_self(), "logup");
    State &st = state();
    while (svc.running.load()) {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, kWatchdogLimitS);
        svc.counters[kStep1]++;
        Mode mode;
        {
            std::lock_guard<std::mutex> guard(st.lock);
            mode = mode_locked(st);
        }
        const uint64_t now = vexa_time_tick_s();
        const bool due = mode == kModePushed ||
                         (mode == kModeWindow && (svc.last_upload_s == 0 || now - svc.last_upload_s > kWindowPauseS));
        if (due) {
            const std::vector<Listed> files = ask_files(svc, svc.callback);
            if (!files.empty()) {
                upload(svc, files);
                svc.last_upload_s = vexa_time_tick_s();
            }
        }
        std::unique_lock<std::mutex> lock(st.lock);
        st.changed.wait_for(lock, std::chrono::seconds(1), [&] { return !svc.running.load(); });
    }
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

void on_method_message(const ko_message_arg *arg)
{
    if (arg->param && arg->len)
        on_method(static_cast<const char *>(arg->param), strnlen(static_cast<const char *>(arg->param), arg->len));
}

void on_ack_message(const ko_message_arg *arg)
{
    if (arg->param && arg->len)
        on_ack(static_cast<const char *>(arg->param), strnlen(static_cast<const char *>(arg->param), arg->len));
}

void on_statistics(const ko_message_arg *)
{
    Service &svc = service();
    std::string text = "{";
    for (int i = 0; i < kCount; ++i)
        text += std::string(i ? "," : "") + "\"" + kCounterNames[i] + "\":" + std::to_string(svc.counters[i].load());
    report_stat_object("log_upload.info", (text + "}").c_str());
}

void unregister_all()
{
    for (const char *m : kMethods)
        ko_message_unregister(KO_UID_LOG_UPLOAD, m);
    ko_message_unregister(KO_UID_LOG_UPLOAD, "rpc.ack");
    ko_message_unregister(KO_UID_LOG_UPLOAD, "upload_statistics");
}

// "rpc.register" or "rpc.unregister" of a method name to the RPC link, done by the time it returns:
// a daemon request that came in after the init but before a queued announcement would go to the
// application instead.
bool tell_rpc(const char *key, const char *name)
{
    return ko_message_send(KO_UID_LOG_UPLOAD, KO_UID_RPC, key, name, static_cast<uint32_t>(std::strlen(name)),
                           KO_MSG_MODE_SYNC) == 0;
}

int register_all()
{
    for (const char *m : kMethods)
        if (ko_message_listen(KO_UID_LOG_UPLOAD, m, on_method_message, nullptr) != 0 || !tell_rpc("rpc.register", m))
            return -1;
    if (ko_message_listen(KO_UID_LOG_UPLOAD, "rpc.ack", on_ack_message, nullptr) != 0 ||
        !tell_rpc("rpc.register", kUrlMethod))
        return -1;
    if (ko_message_listen(KO_UID_LOG_UPLOAD, "upload_statistics", on_statistics, nullptr) != 0)
        return -11;
    return 0;
}

} // namespace

State &state()
{
    static State s;
    return s;
}

uint64_t now_s()
{
    return vexa_time_get_ms() / 1000;
}

Mode mode_locked(const State &s)
{
    if (s.pushed)
        return kModePushed;
    const uint64_t now = now_s();
    if (s.cfg.switchOpen && s.cfg.accept == 1 && now >= s.cfg.startTime && now <= s.cfg.endTime)
        return kModeWindow;
    return kModeOff;
}

} // namespace ko_logfiles

using namespace ko_logfiles;

int ko_logfiles_upload_init(ko_logfiles_list_cb callback)
{
    Service &svc = service();
    std::lock_guard<std::mutex> guard(svc.lock);
    if (svc.callback) {
        KO_LOGE(kModule, "already init\n");
        return -1;
    }
    if (!callback) {
        KO_LOGE(kModule, "logfiles upload callback is null\n");
        return -1;
    }
    {
        State &st = state();
        uint8_t bytes[KO_LOG_UPLOAD_CFG_SIZE] = {};
        std::lock_guard<std::mutex> state_guard(st.lock);
        st.cfg = log_upload_cfg_t{};
        if (ko_log_upload_cfg_read(bytes) == 0)
            log_upload_cfg_decode(bytes, &st.cfg);
        st.pushed = false;
    }
    const int rc = register_all();
    if (rc != 0) {
        KO_LOGE(kModule, "logup err: message register failed\n");
        unregister_all();
        return rc;
    }
    svc.callback = callback;
    svc.last_upload_s = 0;
    for (auto &c : svc.counters)
        c = 0;
    svc.running.store(true);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStack);
    const int created = pthread_create(&svc.thread, &attr, logup, nullptr);
    pthread_attr_destroy(&attr);
    if (created != 0) {
        KO_LOGE(kModule, "logup err: thread not started\n");
        svc.running.store(false);
        svc.callback = nullptr;
        unregister_all();
        return -1;
    }
    return 0;
}

int ko_logfiles_upload_deinit(void)
{
    Service &svc = service();
    std::lock_guard<std::mutex> guard(svc.lock);
    if (!svc.callback) {
        KO_LOGE(kModule, "logfiles_upload uninit!\n");
        return -1;
    }
    {
        State &st = state();
        std::lock_guard<std::mutex> state_guard(st.lock);
        svc.running.store(false);
        st.changed.notify_all();
    }
    pthread_join(svc.thread, nullptr);
    unregister_all();
    for (const char *m : kMethods)
        tell_rpc("rpc.unregister", m);
    tell_rpc("rpc.unregister", kUrlMethod);
    svc.callback = nullptr;
    return 0;
}

int ko_logfiles_test_started(void)
{
    Service &svc = service();
    std::lock_guard<std::mutex> guard(svc.lock);
    return svc.callback ? 1 : 0;
}

std::vector<std::string> ko_logfiles_test_list(unsigned max_files, unsigned force)
{
    ko_logfiles_list_cb callback;
    {
        Service &svc = service();
        std::lock_guard<std::mutex> guard(svc.lock);
        callback = svc.callback;
    }
    std::vector<std::string> paths;
    if (!callback)
        return paths;
    std::vector<char> list(static_cast<size_t>(max_files) * KO_LOGFILES_ENTRY_SIZE, 0);
    const int n = callback(list.data(), max_files, force);
    for (int i = 0; i < n && static_cast<unsigned>(i) < max_files; ++i) {
        const char *entry = list.data() + static_cast<size_t>(i) * KO_LOGFILES_ENTRY_SIZE;
        paths.emplace_back(entry, strnlen(entry, KO_LOGFILES_PATH_LEN));
    }
    return paths;
}
