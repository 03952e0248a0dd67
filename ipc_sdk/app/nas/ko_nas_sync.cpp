// The sync: thread "nas_sync" copies the card's new recordings to the share in time order and
// prunes what the retention time has passed; the service starts it and takes its results after
// the join. The thread takes no service lock.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/nas/ko_nas_internal.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_path.h"

namespace ko_nas {

namespace {

constexpr const char *kCardDevice = "/dev/mmcblk0p1";
constexpr const char *kDefaultMount = "/mnt/media/mmcblk0p1";

struct CardFile {
    int64_t stamp;
    std::string name;
    uint64_t size;
};

// The card's mount point as /proc/mounts names it (both through the path root).
std::string card_dir()
{
    std::string mount = kDefaultMount;
    FILE *f = std::fopen(zel_path("/proc/mounts").c_str(), "r");
    if (!f) {
        KO_LOGE(kModule, "Can not read /proc/mounts\n");
    } else {
        char line[512];
        while (std::fgets(line, sizeof line, f)) {
            char dev[256], point[256];
            if (std::sscanf(line, "%255s %255s", dev, point) == 2 && std::strcmp(dev, kCardDevice) == 0) {
                mount = point;
                break;
            }
        }
        std::fclose(f);
    }
    return zel_path(mount);
}

// The copy's name on the share: the pool name without its kind, number, channel and priority
// ("video_0003_0_10_<start>_<end>.mp4" -> "<start>_<end>.mp4").
std::string remote_name(const std::string &name)
{
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        pos = name.find('_', pos);
        if (pos == std::string::npos)
            return name;
        ++pos;
    }
    return name.substr(pos);
}

int list_card(const std::string &dir, int64_t after, std::vector<CardFile> *out)
{
    DIR *d = opendir(dir.c_str());
    if (!d) {
        KO_LOGE(kModule, "sync_thread: can not open %s: %s\n", dir.c_str(), std::strerror(errno));
        return NAS_ERR_SDCARD;
    }
    errno = 0;
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".mp4") != 0)
            continue;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const size_t us = name.rfind('_');
        const int64_t stamp = us == std::string::npos ? -1 : stamp_seconds(name.c_str() + us + 1);
        if (stamp > after)
            out->push_back(CardFile{stamp, name, static_cast<uint64_t>(st.st_size)});
    }
    const int err = errno;
    closedir(d);
    if (err != 0)
        return NAS_ERR_SDCARD;
    // Pool numbers leave time order once the card wraps: the stamp gives it.
    std::sort(out->begin(), out->end(), [](const CardFile &a, const CardFile &b) {
        return a.stamp != b.stamp ? a.stamp < b.stamp : a.name < b.name;
    });
    KO_LOGI(kModule, "sync_thread: %d folders is found in sdcard\n", static_cast<int>(out->size()));
    return 0;
}

void prune(SyncJob &job, int64_t bound)
{
    nas_share_ops_t *s = job.share;
    KO_LOGI(kModule, "%s: search files older than %ld\n", __func__, static_cast<long>(bound));
    int err = 0;
    nas_share_dir_t *dir = s->opendir(s, job.root.c_str(), &err);
    if (!dir) {
        KO_LOGE(kModule, "%s: can not list %s (%d)\n", __func__, job.root.c_str(), err);
        return;
    }
    std::vector<nas_share_entry_t> old;
    nas_share_entry_t entry;
    while (s->readdir(s, dir, &entry) == 1) {
        const int64_t stamp = stamp_seconds(entry.name);
        if (stamp >= 0 && stamp < bound)
            old.push_back(entry);
    }
    s->closedir(s, dir);
    for (const nas_share_entry_t &e : old) {
        const std::string path = job.root + "/" + e.name;
        KO_LOGI(kModule, "%s: delete folder on nas %s\n", __func__, path.c_str());
        const int rc = e.kind == NAS_ENTRY_DIR ? s->rmdir_recursive(s, path.c_str()) : s->unlink(s, path.c_str());
        if (rc != 0)
            KO_LOGE(kModule, "%s: can not delete %s (%d)\n", __func__, path.c_str(), rc);
    }
}

int make_root(SyncJob &job)
{
    nas_share_ops_t *s = job.share;
    int rc = s->mkdir(s, job.root.c_str());
    if (rc == EAGAIN)
        rc = s->mkdir(s, job.root.c_str());
    if (rc == EEXIST)
        rc = 0;
    if (rc != 0)
        KO_LOGE(kModule, "%s: Fail to create remote root directory(%d).\n", __func__, rc);
    return rc;
}

int copy_files(SyncJob &job, const int *stop, int64_t lower)
{
    std::vector<CardFile> files;
    int rc = list_card(job.card_dir, lower, &files);
    if (rc != 0)
        return rc;
    nas_share_ops_t *s = job.share;
    bool failed = false;
    for (const CardFile &f : files) {
        if (__atomic_load_n(stop, __ATOMIC_ACQUIRE) != 0)
            return kResultStopped;
        const std::string local = job.card_dir + "/" + f.name;
        if (access(local.c_str(), R_OK) != 0) {
            KO_LOGE(kModule, "%s: Fail to open %s: %s\n", __func__, local.c_str(), std::strerror(errno));
            rc = NAS_ERR_SDCARD;
            failed = true;
            continue;
        }
        const std::string remote = job.root + "/" + remote_name(f.name);
        nas_share_stat_t st{};
        int one = 0;
        if (s->stat(s, remote.c_str(), &st) == 0 && !st.is_dir && st.size == f.size) {
            KO_LOGI(kModule, "%s: Skip %s due to equal size\n", __func__, f.name.c_str());
        } else {
            KO_LOGI(kModule, "goto sync file %s\n", f.name.c_str());
            one = s->writefile(s, local.c_str(), remote.c_str(), stop);
            if (one == 0)
                job.bytes += f.size;
        }
        if (one == kResultStopped)
            return kResultStopped;
        if (one != 0) {
            rc = one;
            failed = true;
        } else if (!failed) {
            // Past the first failure the stamp stays, so the failed file is tried again next time.
            job.new_last_sync = static_cast<uint64_t>(f.stamp);
        }
    }
    return rc;
}

void *sync_thread(void *arg)
{
    Nas &n = *static_cast<Nas *>(arg);
    SyncJob &job = n.job;
    setpriority(PRIO_PROCESS, 0, 19);
    const uint64_t start_ms = vexa_time_tick_ms();
    const int64_t now = static_cast<int64_t>(vexa_time_realtime_ms() / 1000);
    KO_LOGI(kModule, "sync_thread: start at %ld\n", static_cast<long>(now));
    nas_share_ops_t *s = job.share;
    job.new_last_sync = job.last_sync;
    int rc = 0;
    if (!s->isconnected(s) && (rc = s->reconnect(s)) != 0)
        KO_LOGE(kModule, "nas reconnect failed.\n");
    if (rc == 0)
        rc = make_root(job);
    if (rc == 0) {
        int64_t lower = static_cast<int64_t>(job.last_sync);
        if (job.retention > 0) {
            const int64_t bound = now - job.retention;
            prune(job, bound);
            lower = std::max(lower, bound);
        }
        rc = copy_files(job, &n.stop_flag, lower);
    }
    job.result = rc;
    job.ms = vexa_time_tick_ms() - start_ms;
    KO_LOGI(kModule, "sync_thread: exit with code %d\n", rc);
    if (s->isconnected(s))
        s->disconnect(s);
    post_self("nas.sync_end", n.sync_gen);
    return nullptr;
}

} // namespace

int64_t stamp_seconds(const char *text)
{
    if (!text)
        return -1;
    for (int i = 0; i < 14; ++i)
        if (text[i] < '0' || text[i] > '9')
            return -1;
    struct tm tm {};
    if (std::sscanf(text, "%04d%02d%02d%02d%02d%02d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec) != 6)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    // An open pool file's end reads as the local time of -1, in 1969 or 1970: no stamp.
    if (tm.tm_year < 70 || ko_check_tm_time(&tm) != 0)
        return -1;
    // Names carry local time; the offset of now applies (no 32-bit mktime, which ends in 2038).
    const time_t t = time(nullptr);
    struct tm local {};
    localtime_r(&t, &local);
    const int64_t seconds = static_cast<int64_t>(ko_time_make_second(&tm)) - static_cast<int64_t>(local.tm_gmtoff);
    return seconds > 86400 ? seconds : -1;
}

int sync_start(Nas &n)
{
    if (n.sync_thread) {
        KO_LOGI(kModule, "nas_sync: The last sync process is still in working. Skip.\n");
        return EAGAIN;
    }
    if (!n.share)
        return NAS_ERR_SERVER;
    n.job = SyncJob{};
    n.job.share = n.share;
    n.job.card_dir = card_dir();
    n.job.root = share_root(n.share_cfg);
    n.job.last_sync = n.rec.last_sync;
    n.job.retention = n.rec.retention;
    __atomic_store_n(&n.stop_flag, 0, __ATOMIC_RELEASE);
    ++n.sync_gen;
    ko_thread_attr attr{};
    std::snprintf(attr.name, sizeof attr.name, "nas_sync");
    n.sync_thread = ko_thread_run(&attr, sync_thread, &n);
    if (!n.sync_thread) {
        KO_LOGE(kModule, "create nas_sync_thread_routine thread fail!\n");
        return ENOMEM;
    }
    nas_state_transition(n, 3);
    return 0;
}

void collect_sync(Nas &n)
{
    if (!n.sync_thread)
        return;
    ko_thread_destory(n.sync_thread);
    n.sync_thread = nullptr;
    const SyncJob &job = n.job;
    if (job.result != 0 && job.result != kResultStopped)
        set_error(n, job.result);
    else if (job.result == 0)
        set_error(n, 0);
    n.rec.last_sync = std::max(n.rec.last_sync, job.new_last_sync);
    n.last_trans_s = job.ms / 1000;
    n.speed = job.ms > 0 ? job.bytes * 1000 / job.ms : 0;
    save_config(n);
}

void sync_end(Nas &n, uint32_t gen)
{
    if (!n.sync_thread || gen != n.sync_gen)
        return; // already joined by a stop
    collect_sync(n);
    nas_state_transition(n, 1);
}

} // namespace ko_nas
