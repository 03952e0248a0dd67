// The queue of periods to blank: groups keyed by file path, each a FIFO of index entries, with one
// bound on the total so that a flood of deletions cannot take the memory.
#include <string.h>

#include <deque>
#include <list>
#include <mutex>
#include <string>

#include "common/utils/ko_log.h"
#include "sd_pool_internal.h"

namespace {

constexpr const char *kModule = "sd_pool";
constexpr size_t kMaxQueued = 8192;

struct Group {
    std::string path;
    std::deque<fmp4_index_entry_t> entries;
};

std::mutex g_lock;
std::list<Group> g_groups;
size_t g_count = 0;

} // namespace

extern "C" int sd_delete_video_queue_push(const char *path, const fmp4_index_entry_t *descriptor)
{
    if (!path || !descriptor || strlen(path) >= 1024)
        return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_count >= kMaxQueued) {
        KO_LOGE(kModule, "malloc delete video info failed.\n");
        return -1;
    }
    auto it = g_groups.begin();
    while (it != g_groups.end() && it->path != path)
        ++it;
    if (it == g_groups.end())
        it = g_groups.insert(g_groups.end(), Group{path, {}});
    it->entries.push_back(*descriptor);
    g_count++;
    return 0;
}

extern "C" void sd_delete_video_queue_reset(void)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_groups.clear();
    g_count = 0;
}

namespace sd {

bool delete_queue_pop(std::string *path, fmp4_index_entry_t *entry)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_groups.empty())
        return false;
    Group &g = g_groups.front();
    *path = g.path;
    *entry = g.entries.front();
    g.entries.pop_front();
    g_count--;
    if (g.entries.empty())
        g_groups.pop_front();
    return true;
}

void delete_queue_rename(const std::string &from, const std::string &to)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (Group &g : g_groups)
        if (g.path == from)
            g.path = to;
}

void delete_queue_drop(const std::string &path)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_groups.begin(); it != g_groups.end(); ++it) {
        if (it->path == path) {
            g_count -= it->entries.size();
            g_groups.erase(it);
            return;
        }
    }
}

} // namespace sd
