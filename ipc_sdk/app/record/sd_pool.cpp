// Sizing the card and building the pool (sd_init), taking it down (sd_uninit), and the pool's path
// helpers. Choosing files is in sd_pool_choose.cpp, the threads in sd_pool_threads.cpp.
#include "sd_pool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "common/ko_porting_hooks.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "sd_io.h"
#include "sd_names.h"
#include "sd_pool_internal.h"
#include "zelmar/zel_path.h"

extern "C" const uint64_t DATA_FILE_SIZE_BYTES = 134217728ull;

namespace sd {

namespace {

constexpr const char *kModule = "sd_pool";
constexpr const char kReadme[] = "0. 首次使用,建议对SD卡进行格式化\n1. 请勿随便往SD卡中拷贝文件,SD卡是录制文件专用\n"
                                 "2. mp4文件可以拷贝出来用通用播放器播放(比如VLC)\n";
static_assert(sizeof kReadme - 1 == 178, "readme.txt is 178 bytes");
constexpr int kIndexFragmentsShift = 19; // one fragment per 512 KiB of card

Pool g_pool;

bool regular_file(const std::string &dir, const char *name)
{
    struct stat st;
    return stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

uint64_t index_size(int kind, uint32_t fragments)
{
    return index_ops().index_size ? index_ops().index_size(kind, fragments) : 0;
}

// Bytes of all index files for `fragments` fragments, per camera.
uint64_t index_bytes_per_camera(uint32_t fragments, bool yvideo)
{
    uint64_t n = index_size(SD_KIND_VIDEOI, fragments) + index_size(SD_KIND_PICI, fragments) +
                 index_size(SD_KIND_EVENT, fragments);
    if (yvideo)
        n += index_size(SD_KIND_YVIDEOI, fragments);
    return n;
}

void write_readme(const Pool &p)
{
    const std::string path = p.base + "/readme.txt";
    FILE *fp = sd_io_fopen(path.c_str(), "wb");
    int rc = fp ? 0 : -errno;
    if (fp) {
        rc = _write_file(fp, kReadme, sizeof kReadme - 1, sizeof kReadme - 1);
        if (_close_file(fp) != 0 && rc == 0)
            rc = -1;
    }
    if (rc != 0)
        KO_LOGE(kModule, "_write_test_file fail, ret: %d\n", rc);
}

void drop_records(Pool &p)
{
    for (sd_file_info_t *f : p.files)
        free_file_record(f);
    p.files.clear();
    for (auto &kind : p.index_files)
        for (sd_file_info_t *&f : kind) {
            free_file_record(f);
            f = nullptr;
        }
}

void delete_index_files(Pool &p, std::initializer_list<int> kinds)
{
    for (int kind : kinds) {
        for (sd_file_info_t *&f : p.index_files[index_slot(kind)]) {
            if (!f)
                continue;
            if (sd_io_unlink(full_path(f->path).c_str()) != 0)
                KO_LOGE(kModule, "delete index %s fail: %s\n", f->path, strerror(errno));
            free_file_record(f);
            f = nullptr;
        }
    }
}

uint64_t file_length(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

int get_all_files(Pool &p)
{
    struct dirent **list = nullptr;
    const int n = scandir(p.base.c_str(), &list, nullptr, alphasort);
    if (n < 0) {
        if (errno == ENOENT)
            return SD_ERR_PATH_ABSENT;
        return _get_system_err(SD_ERR_DIR, errno);
    }
    int rc = 0;
    for (int i = 0; i < n; i++) {
        const char *name = list[i]->d_name;
        if (rc != 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (!regular_file(p.base, name)) {
            KO_LOGW(kModule, "%s %s is not expect.\n", __func__, name);
            continue;
        }
        sd_file_info_t parsed{};
        if (!parse_name(name, &parsed)) {
            if (strcmp(name, "readme.txt") != 0)
                KO_LOGW(kModule, "%s %s _para_file_name fail.\n", __func__, name);
            continue;
        }
        if (parsed.priority == SD_PRIORITY_INDEX) {
            const int slot = index_slot(parsed.kind);
            sd_file_info_t **cams = slot >= 0 ? p.index_files[slot] : nullptr;
            int free_cam = -1;
            for (int c = 0; cams && c < p.cameras && free_cam < 0; c++)
                if (!cams[c])
                    free_cam = c;
            if (free_cam < 0) {
                KO_LOGE(kModule, "index file error,path = %s \n", name);
                continue;
            }
            sd_file_info_t *f = record_of(parsed);
            if (!f) {
                rc = SD_ERR_NOMEM;
                continue;
            }
            cams[free_cam] = f;
            continue;
        }
        if (file_length(full_path(name)) != DATA_FILE_SIZE_BYTES) {
            KO_LOGW(kModule, "%s is not a whole pool file, deleted\n", name);
            sd_io_unlink(full_path(name).c_str());
            continue;
        }
        if (p.files.size() >= p.max) {
            KO_LOGW(kModule, "%s %s count more than %d %d.\n", __func__, name, static_cast<int>(p.files.size()),
                    static_cast<int>(p.max));
            rc = 1; // stop the scan; not an error
            continue;
        }
        sd_file_info_t *f = record_of(parsed);
        if (!f) {
            rc = SD_ERR_NOMEM;
            continue;
        }
        p.files.push_back(f);
    }
    for (int i = 0; i < n; i++)
        free(list[i]);
    free(list);
    return rc == 1 ? 0 : rc;
}

uint64_t current_index_bytes(const Pool &p)
{
    uint64_t n = 0;
    for (const auto &kind : p.index_files)
        for (const sd_file_info_t *f : kind)
            if (f)
                n += file_length(full_path(f->path));
    return n;
}

bool need_reset_indexes(const Pool &p, uint64_t needed_index_bytes)
{
    if (p.files.size() > p.max) {
        KO_LOGW(kModule, "%s already exist %d > max %d \n", __func__, static_cast<int>(p.files.size()),
                static_cast<int>(p.max));
        return true;
    }
    const uint64_t cur = current_index_bytes(p);
    if (cur != needed_index_bytes) {
        KO_LOGW(kModule, "index is delete, cur_index_size:%llu, need_index_size:%llu\n",
                static_cast<unsigned long long>(cur), static_cast<unsigned long long>(needed_index_bytes));
        return true;
    }
    for (int c = 0; c < p.cameras; c++) {
        const sd_file_info_t *video = p.index_files[index_slot(SD_KIND_VIDEOI)][c];
        const sd_file_info_t *pic = p.index_files[index_slot(SD_KIND_PICI)][c];
        if ((index_ops().record_need_reset && index_ops().record_need_reset(c, video ? video->path : nullptr)) ||
            (index_ops().pic_need_reset && index_ops().pic_need_reset(c, pic ? pic->path : nullptr)))
            return true;
    }
    return false;
}

int create_index_files(Pool &p)
{
    for (int kind : kIndexKinds) {
        if (kind == SD_KIND_YVIDEOI && p.yvideo == 0)
            continue;
        for (int c = 0; c < p.cameras; c++) {
            sd_file_info_t *&slot = p.index_files[index_slot(kind)][c];
            if (slot)
                continue;
            sd_file_info_t *f = new_file_record();
            if (!f)
                return SD_ERR_NOMEM;
            const KindInfo &k = kind_info(kind);
            f->kind = kind;
            f->number = c + 1;
            f->priority = SD_PRIORITY_INDEX;
            snprintf(f->ext, sizeof f->ext, "%s", k.ext);
            build_name(*f, f->path, sizeof f->path);
            const std::string path = full_path(f->path);
            int rc = create_file(path, index_size(kind, p.fragments));
            if (rc == 0 && index_ops().index_clear)
                rc = index_ops().index_clear(kind, path.c_str());
            if (rc != 0) {
                free_file_record(f);
                return rc;
            }
            slot = f;
        }
    }
    return 0;
}

int reset_indexes(Pool &p)
{
    delete_index_files(p, {SD_KIND_PICI, SD_KIND_VIDEOI, SD_KIND_YVIDEOI});
    int rc = create_index_files(p);
    if (rc != 0)
        return rc;
    std::stable_sort(p.files.begin(), p.files.end(),
                     [](const sd_file_info_t *a, const sd_file_info_t *b) { return a->start < b->start; });
    for (int c = 0; c < p.cameras && rc == 0; c++) {
        FILE *video = nullptr, *pic = nullptr;
        int err = 0;
        if (p.index_files[index_slot(SD_KIND_VIDEOI)][c])
            video = _open_file(full_path(p.index_files[index_slot(SD_KIND_VIDEOI)][c]->path).c_str(), "rb+", &err);
        if (p.index_files[index_slot(SD_KIND_PICI)][c])
            pic = _open_file(full_path(p.index_files[index_slot(SD_KIND_PICI)][c]->path).c_str(), "rb+", &err);
        bool replayed = false;
        for (const sd_file_info_t *f : p.files) {
            if (f->channel != c || rc != 0)
                continue;
            if (f->kind == SD_KIND_VIDEO && video && index_ops().record_reset_index)
                rc = index_ops().record_reset_index(c, video, f);
            else if (f->kind == SD_KIND_PIC && pic && index_ops().pic_reset_index)
                rc = index_ops().pic_reset_index(c, pic, f);
            else
                continue;
            replayed = true;
        }
        if (video && rc == 0 && index_ops().index_seal)
            rc = index_ops().index_seal(SD_KIND_VIDEOI, video);
        if (pic && rc == 0 && index_ops().index_seal)
            rc = index_ops().index_seal(SD_KIND_PICI, pic);
        if (video)
            _close_file(video);
        if (pic)
            _close_file(pic);
        if (err != 0 && rc == 0)
            rc = err;
        // Indexes rebuilt from the channel's files are bound to it, so that they are opened at start-up
        // and its lists and pictures are served before anything new is added.
        for (int kind : {SD_KIND_VIDEOI, SD_KIND_PICI}) {
            sd_file_info_t *f = p.index_files[index_slot(kind)][c];
            const uint64_t start = f && f->start ? f->start : now_seconds();
            if (f && replayed && rc == 0)
                rc = set_file_info(f, kind, c, start, start);
        }
    }
    return rc;
}

// A deletion answered before a power cut or a stop may have left its footage behind the period's
// mark: it is blanked before anything reads the card.
void blank_deleted(const Pool &p)
{
    for (int c = 0; c < p.cameras && index_ops().record_blank_deleted; c++) {
        const sd_file_info_t *video = p.index_files[index_slot(SD_KIND_VIDEOI)][c];
        if (video && index_ops().record_blank_deleted(c, video->path) != 0)
            KO_LOGE(kModule, "deleted periods of channel %d not blanked\n", c);
    }
}

int check_usage(Pool &p)
{
    uint64_t data = 0;
    for (const sd_file_info_t *f : p.files)
        data += file_length(full_path(f->path));
    const uint64_t index = current_index_bytes(p);
    uint64_t total = 0, used = 0, free_bytes = 0;
    if (ko_storage_get_capacity(&total, &used, &free_bytes) != 0) {
        KO_LOGE(kModule, "ko_storage_get_capacity fail\n");
        return SD_ERR_CAPACITY;
    }
    if (used < index + data) {
        KO_LOGE(kModule,
                "ko_storage_get_capacity error, total: %llu, used: %llu, free: %llu, index: %llu, data: %llu, "
                "record_used: %llu, other(%llu)\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(used),
                static_cast<unsigned long long>(free_bytes), static_cast<unsigned long long>(index),
                static_cast<unsigned long long>(data), static_cast<unsigned long long>(index + data), 0ull);
        KO_LOGE(kModule, "sd buf is not enough, ret: %d\n", SD_ERR_CAPACITY);
        return SD_ERR_CAPACITY;
    }
    return 0;
}

int open_indexes(Pool &p)
{
    const sd_index_ops_t &ops = index_ops();
    p.opening_indexes = true;
    int rc = 0;
    if (ops.record_index_init && ops.record_index_init(p.cameras) != 0) {
        KO_LOGE(kModule, "record_index_init fail\n");
        rc = SD_ERR_INDEX_RESET;
    } else if (ops.pic_init && ops.pic_init(p.cameras) != 0) {
        KO_LOGE(kModule, "pic_init fail\n");
        rc = SD_ERR_INDEX_RESET;
    } else if (ops.event_init && ops.event_init(p.cameras) != 0) {
        KO_LOGE(kModule, "event_init fail\n");
        rc = SD_ERR_INDEX_RESET;
    }
    p.opening_indexes = false;
    return rc;
}

void close_indexes()
{
    const sd_index_ops_t &ops = index_ops();
    if (ops.record_index_deinit)
        ops.record_index_deinit();
    if (ops.pic_deinit)
        ops.pic_deinit();
    if (ops.event_deinit)
        ops.event_deinit();
    if (ops.yvideo_deinit)
        ops.yvideo_deinit();
}

int sizing_check(Pool &p, uint64_t total)
{
    if (!p.status_cb) {
        KO_LOGE(kModule, "%s cb is NULL \n", __func__);
        return SD_ERR_ARG;
    }
    const uint32_t fragments = static_cast<uint32_t>((total >> kIndexFragmentsShift) + 1);
    const uint64_t need = p.cameras * (index_bytes_per_camera(fragments, p.yvideo > 0) + 6 * DATA_FILE_SIZE_BYTES);
    if (total < need || total < p.min) {
        KO_LOGE(kModule, "%s para is err, total(%llu) must > %llu, min: %llu \n", __func__,
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(need),
                static_cast<unsigned long long>(p.min));
        return SD_ERR_ARG;
    }
    struct stat st;
    if (stat(p.base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        KO_LOGE(kModule, "%s path is not exist %s\n", __func__, p.base.c_str());
        return SD_ERR_PATH_ABSENT;
    }
    if (p.yvideo > total / 2) {
        KO_LOGE(kModule, "yvideo over %f, yvideo:%llu, all:%llu\n", 0.5, static_cast<unsigned long long>(p.yvideo),
                static_cast<unsigned long long>(total));
        return SD_ERR_ARG;
    }
    return 0;
}

int fill_synchronously(Pool &p)
{
    const size_t want = static_cast<size_t>(p.cameras) * (p.yvideo > 0 ? 3 : 2);
    while (p.files.size() < want && p.files.size() < p.max) {
        sd_file_info_t *f = new_file_record();
        if (!f)
            return SD_ERR_NOMEM;
        f->number = take_number(p);
        snprintf(f->ext, sizeof f->ext, "%s", kind_info(SD_KIND_FREE).ext);
        build_name(*f, f->path, sizeof f->path);
        const int rc = create_file(full_path(f->path), DATA_FILE_SIZE_BYTES);
        if (rc != 0) {
            free_file_record(f);
            return rc;
        }
        p.files.push_back(f);
    }
    return 0;
}

} // namespace

Pool &pool() { return g_pool; }

int index_slot(int kind)
{
    for (int i = 0; i < 4; i++)
        if (kIndexKinds[i] == kind)
            return i;
    return -1;
}

uint64_t now_seconds() { return vexa_time_get_ms() / 1000; }

sd_file_info_t *new_file_record()
{
    auto *f = static_cast<sd_file_info_t *>(calloc(1, sizeof(sd_file_info_t)));
    if (!f)
        return nullptr;
    f->channel = SD_CHANNEL_NONE;
    _init_reentrant_lock(&f->lock);
    return f;
}

void copy_fields(sd_file_info_t *to, const sd_file_info_t &from)
{
    memcpy(to->path, from.path, sizeof to->path);
    to->priority = from.priority;
    to->channel = from.channel;
    to->start = from.start;
    to->end = from.end;
    to->kind = from.kind;
    memcpy(to->ext, from.ext, sizeof to->ext);
}

sd_file_info_t *record_of(const sd_file_info_t &fields)
{
    sd_file_info_t *f = new_file_record();
    if (f) {
        copy_fields(f, fields);
        f->number = fields.number;
    }
    return f;
}

void free_file_record(sd_file_info_t *f)
{
    if (!f)
        return;
    pthread_mutex_destroy(&f->lock);
    free(f);
}

std::string full_path(const char *name) { return g_pool.base + "/" + name; }

int take_number(Pool &p)
{
    for (int n = p.next_number;; n++) {
        if (std::none_of(p.files.begin(), p.files.end(), [n](const sd_file_info_t *g) { return g->number == n; })) {
            p.next_number = n + 1;
            return n;
        }
    }
}

int create_file(const std::string &path, uint64_t size)
{
    const int fd = sd_io_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0777);
    if (fd < 0)
        return _get_system_err(SD_ERR_OPEN, errno);
    int rc = 0;
    if (sd_io_reserve(fd, size) != 0)
        rc = _get_system_err(SD_ERR_FALLOCATE, errno);
    sd_io_close(fd);
    if (rc != 0)
        sd_io_unlink(path.c_str()); // a file of another length would only be deleted at the next init
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    return rc;
}

} // namespace sd

using namespace sd;

extern "C" int sd_init(const char *path, int cameras, uint64_t reserved, uint64_t min, uint64_t yvideo,
                       sd_status_cb status_cb)
{
    if (cameras < 1 || cameras > kMaxCameras) {
        KO_LOGE(kModule, "cameras count over limit %d\n", cameras);
        return SD_ERR_ARG;
    }
    if (!path) {
        KO_LOGE(kModule, "invalid directory \n");
        return SD_ERR_NO_PATH;
    }
    uint64_t total = 0, used = 0, free_bytes = 0;
    if (ko_storage_get_capacity(&total, &used, &free_bytes) != 0)
        return SD_ERR_CAPACITY;
    if (total < used || total < free_bytes) {
        KO_LOGE(kModule, "%s ko_storage_get_capacity para err. %llu %llu %llu.\n", __func__,
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(used),
                static_cast<unsigned long long>(free_bytes));
        return SD_ERR_CAPACITY;
    }
    Pool &p = g_pool;
    std::lock_guard<std::mutex> choice(p.choice);
    std::lock_guard<std::recursive_mutex> guard(p.lock);
    if (p.initialised) {
        KO_LOGW(kModule, "%s already init.\n", __func__);
        return 0;
    }
    p.base = zel_path(path);
    while (p.base.size() > 1 && p.base.back() == '/')
        p.base.pop_back();
    p.cameras = cameras;
    p.reserved = reserved;
    p.min = min;
    p.yvideo = yvideo;
    p.status_cb = status_cb;
    p.quick_exit = false;
    p.yvideo_handed = 0;
    p.next_number = 0;
    int rc = sizing_check(p, total);
    if (rc != 0)
        return rc;
    write_readme(p);
    drop_records(p);

    p.fragments = static_cast<uint32_t>((total >> kIndexFragmentsShift) + 1);
    const uint64_t index_bytes = cameras * index_bytes_per_camera(p.fragments, yvideo > 0);
    p.max = static_cast<size_t>((total - std::min(total, index_bytes + reserved)) / DATA_FILE_SIZE_BYTES);
    KO_LOGI(kModule, "max video fragment, fragment: %u, g_file_infos_max: %d \n", p.fragments, static_cast<int>(p.max));
    p.files.reserve(p.max);

    if ((rc = get_all_files(p)) != 0) {
        drop_records(p);
        return rc;
    }
    if (p.files.empty() && min < free_bytes) {
        delete_index_files(p, {SD_KIND_EVENT, SD_KIND_PICI, SD_KIND_VIDEOI, SD_KIND_YVIDEOI});
    } else if (need_reset_indexes(p, index_bytes) && reset_indexes(p) != 0) {
        KO_LOGE(kModule, "_reset_indexs fail\n");
        p.status_cb(SD_ERR_INDEX_RESET);
    }
    blank_deleted(p);
    if ((rc = check_usage(p)) != 0 || (rc = open_indexes(p)) != 0) {
        drop_records(p);
        return rc;
    }
    if ((rc = create_index_files(p)) != 0 || (rc = fill_synchronously(p)) != 0) {
        close_indexes();
        drop_records(p);
        return rc;
    }
    p.initialised = true;
    {
        std::lock_guard<std::mutex> status(p.status_lock);
        p.closing = false;
    }
    if ((rc = start_threads()) != 0) {
        p.initialised = false;
        close_indexes();
        drop_records(p);
        return rc;
    }
    KO_LOGI(kModule, "%s ok, cam: %d, yvideo:%llu, total: %llu, path: %s\n", __func__, cameras,
            static_cast<unsigned long long>(yvideo), static_cast<unsigned long long>(total), p.base.c_str());
    return 0;
}

extern "C" int sd_uninit(void)
{
    Pool &p = g_pool;
    p.quick_exit = true;
    {
        // Rename threads find their file under the pool mutex: let them end before taking it.
        std::unique_lock<std::mutex> status(p.status_lock);
        p.closing = true;
        p.status_done.wait(status, [&p] { return p.status_threads == 0 && p.taking == 0; });
    }
    std::lock_guard<std::mutex> choice(p.choice);
    {
        std::lock_guard<std::recursive_mutex> guard(p.lock);
        if (!p.initialised) {
            KO_LOGW(kModule, "%s not init \n", __func__);
            return 0;
        }
    }
    // The deletion thread looks files up under the pool mutex: it is stopped without holding it.
    stop_threads();
    std::lock_guard<std::recursive_mutex> guard(p.lock);
    close_indexes();
    drop_records(p);
    sd_delete_video_queue_reset();
    if (p.free_playback)
        p.free_playback();
    p.initialised = false;
    return 0;
}

extern "C" void sd_quick_exit(void) { g_pool.quick_exit = true; }

extern "C" int sd_need_format(const char *path)
{
    if (!path)
        return SD_ERR_ARG;
    const std::string dir = zel_path(path);
    std::lock_guard<std::recursive_mutex> guard(g_pool.lock);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return _get_system_err(SD_ERR_FORMAT_CHECK, errno);
    DIR *d = opendir(dir.c_str());
    if (!d)
        return 1;
    int found = 0;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 || !regular_file(dir, e->d_name))
            continue;
        sd_file_info_t parsed{};
        if (parse_name(e->d_name, &parsed) && ++found >= 5)
            break;
    }
    closedir(d);
    return found >= 5 ? 0 : 1;
}

extern "C" const char *sd_get_base_path(void)
{
    if (g_pool.base.empty()) {
        KO_LOGE(kModule, "storage path is null\n");
        return "";
    }
    return g_pool.base.c_str();
}

extern "C" int sd_get_path(const char *name, char *out)
{
    if (!name || !out)
        return -1;
    const std::string &base = g_pool.base;
    const size_t len = base.size() + strlen(name) + (base.empty() || base.back() != '/' ? 1 : 0);
    if (len > 1023) {
        KO_LOGE(kModule, "max size. %d %d\n", static_cast<int>(base.size()), static_cast<int>(strlen(name)));
        return -1;
    }
    snprintf(out, 1024, base.empty() || base.back() == '/' ? "%s%s" : "%s/%s", base.c_str(), name);
    return 0;
}

extern "C" int sd_get_exist_channel(int kind, int values[], int n)
{
    Pool &p = g_pool;
    std::lock_guard<std::recursive_mutex> guard(p.lock);
    if (!values || n < p.cameras)
        return -1;
    const int slot = index_slot(kind);
    if (slot < 0)
        return -2;
    for (int c = 0; c < p.cameras; c++) {
        const sd_file_info_t *f = p.index_files[slot][c];
        if (!f || f->channel == SD_CHANNEL_NONE) {
            KO_LOGI(kModule, "%s index file is new, type: %s \n", __func__, kind_info(kind).name);
            return -1;
        }
        values[c] = f->channel;
    }
    return 0;
}

extern "C" void sd_set_free_playback_func(void (*fn)(void)) { g_pool.free_playback = fn; }
