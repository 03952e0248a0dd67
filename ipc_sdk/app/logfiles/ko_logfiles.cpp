#include "app/logfiles/ko_logfiles.h"

#include <cstring>
#include <mutex>

#include "app/logfiles/ko_logfiles_test.h"
#include "common/utils/ko_log.h"

namespace {

constexpr const char *kModule = "KO LOGFILES";

struct Service {
    std::mutex lock;
    ko_logfiles_list_cb callback = nullptr;
};

Service &service()
{
    static Service s;
    return s;
}

} // namespace

int ko_logfiles_upload_init(ko_logfiles_list_cb callback)
{
    Service &s = service();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.callback) {
        KO_LOGE(kModule, "already init\n");
        return -1;
    }
    if (!callback) {
        KO_LOGE(kModule, "logfiles upload callback is null\n");
        return -1;
    }
    s.callback = callback;
    return 0;
}

int ko_logfiles_upload_deinit(void)
{
    Service &s = service();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.callback) {
        KO_LOGE(kModule, "logfiles_upload uninit!\n");
        return -1;
    }
    s.callback = nullptr;
    return 0;
}

int ko_logfiles_test_started(void)
{
    Service &s = service();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.callback ? 1 : 0;
}

std::vector<std::string> ko_logfiles_test_list(unsigned max_files, unsigned force)
{
    ko_logfiles_list_cb callback;
    {
        Service &s = service();
        std::lock_guard<std::mutex> guard(s.lock);
        callback = s.callback;
    }
    std::vector<std::string> paths;
    if (!callback)
        return paths;
    std::vector<char> list(static_cast<size_t>(max_files) * KO_LOGFILES_ENTRY_SIZE + 1, 0);
    const int n = callback(list.data(), max_files, force);
    for (int i = 0; i < n && static_cast<unsigned>(i) < max_files; ++i)
        paths.emplace_back(list.data() + static_cast<size_t>(i) * KO_LOGFILES_ENTRY_SIZE,
                           strnlen(list.data() + static_cast<size_t>(i) * KO_LOGFILES_ENTRY_SIZE,
                                   KO_LOGFILES_ENTRY_SIZE));
    return paths;
}
