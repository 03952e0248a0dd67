#include "sd_index_module.h"

#include "common/utils/ko_log.h"

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";
}

IndexLog *index_context(IndexModule &m, int channel)
{
    std::lock_guard<std::mutex> guard(m.lock);
    const int n = m.cameras == 2 ? 2 : 1;
    for (int i = 0; i < n; i++)
        if (m.contexts[i].channel == channel)
            return &m.contexts[i];
    for (int i = 0; i < n; i++) {
        if (m.contexts[i].channel == SD_CHANNEL_NONE) {
            m.contexts[i].channel = channel;
            return &m.contexts[i];
        }
    }
    KO_LOGE(kModule, "_get_context fail, channel=%u, [%d, %d]\n", static_cast<unsigned>(channel),
            m.contexts[0].channel, m.contexts[1].channel);
    return nullptr;
}

int index_open_context(IndexModule &m, IndexLog &log)
{
    sd_file_info_t *f = sd_get_path_and_set_channel(m.kind, log.channel, nullptr);
    if (!f) {
        KO_LOGE(kModule, "sd_get_path_and_set_channel fail. file=%s\n", m.who);
        return -1;
    }
    char path[1024];
    if (sd_get_path(f->path, path) != 0) {
        KO_LOGE(kModule, "sd_get_path fail. file=%s\n", f->path);
        return -2;
    }
    log.name = f->path;
    const int rc = log_open(log, m.layout, m.mode, path, m.who);
    if (rc != 0)
        log.name.clear();
    return rc;
}

int index_ensure_open(IndexModule &m, IndexLog &log)
{
    if (log.file)
        return 0;
    const int rc = index_open_context(m, log);
    if (rc != 0)
        KO_LOGE(kModule, "_init_context fail. file=%s\n", log.name.c_str());
    return rc;
}

bool index_module_ready(IndexModule &m)
{
    std::lock_guard<std::mutex> guard(m.start_lock);
    return m.initialised;
}

int index_module_init(IndexModule &m, int cameras)
{
    std::lock_guard<std::mutex> start(m.start_lock);
    if (m.initialised)
        return 0;
    m.cameras = cameras == 2 ? 2 : 1;
    for (IndexLog &log : m.contexts) {
        std::lock_guard<std::recursive_mutex> guard(log.lock);
        log.reset();
    }
    int channels[2] = {SD_CHANNEL_NONE, SD_CHANNEL_NONE};
    if (sd_get_exist_channel(m.kind, channels, 2) == 0) {
        for (int i = 0; i < m.cameras; i++) {
            if (channels[i] == SD_CHANNEL_NONE)
                continue;
            IndexLog *log = index_context(m, channels[i]);
            if (!log)
                continue;
            std::lock_guard<std::recursive_mutex> guard(log->lock);
            const int rc = index_open_context(m, *log);
            if (rc != 0) {
                KO_LOGE(kModule, "%s _init_context fail\n", m.who);
                for (IndexLog &l : m.contexts) {
                    std::lock_guard<std::recursive_mutex> g(l.lock);
                    l.reset();
                }
                return rc;
            }
        }
    }
    m.initialised = true;
    return 0;
}

int index_module_deinit(IndexModule &m)
{
    std::lock_guard<std::mutex> start(m.start_lock);
    if (!m.initialised) {
        KO_LOGI(kModule, "%s not init \n", m.who);
        return 0;
    }
    m.initialised = false;
    std::lock_guard<std::mutex> table(m.lock);
    for (IndexLog &log : m.contexts) {
        std::lock_guard<std::recursive_mutex> guard(log.lock);
        log.reset();
    }
    return 0;
}

} // namespace sd
