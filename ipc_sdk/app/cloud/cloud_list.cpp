// The clip list: at most 10 files and at most the buffer's bytes, oldest first.
#include "app/cloud/cloud_list.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/utils/vexa_mem.h"
#include "zelmar/zel_path.h"

namespace {

struct clip_list {
    std::mutex mutex;
    std::deque<cloud_file_node_t> nodes;
    uint64_t used = 0;
    uint32_t size = 0;
};

clip_list &list()
{
    static clip_list l;
    return l;
}

void remove_file(const char *path)
{
    if (path[0] && unlink(zel_path(path).c_str()) != 0 && errno != ENOENT)
        KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
}

bool exists(const char *path)
{
    return path[0] && access(zel_path(path).c_str(), F_OK) == 0;
}

} // namespace

int cloud_list_init(uint32_t buffer_size)
{
    clip_list &l = list();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.nodes.clear();
    l.used = 0;
    l.size = buffer_size;
    return 0;
}

void cloud_list_deinit(void)
{
    cloud_list_delete_all();
    clip_list &l = list();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.size = 0;
}

int cloud_list_add(const cloud_file_node_t *node)
{
    if (!node || !node->mp4_path[0])
        return -1;
    if (node->size == 0) {
        KO_LOGE(CLOUD_MODULE, "%s size is zero!\n", node->mp4_path);
        return -1;
    }
    clip_list &l = list();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (l.used + node->size > l.size) {
        KO_LOGE(CLOUD_MODULE, "cloud record buffer is almost full! size:%d\n", static_cast<int>(l.used));
        return -5;
    }
    if (l.nodes.size() >= CLOUD_LIST_MAX) {
        KO_LOGE(CLOUD_MODULE, "cloud record mp4 is  full! unm:%d\n", static_cast<int>(l.nodes.size()));
        return -5;
    }
    l.nodes.push_back(*node);
    l.nodes.back().next = nullptr;
    l.used += node->size;
    return 0;
}

int cloud_list_getfile(cloud_file_node_t *out)
{
    if (!out)
        return -1;
    clip_list &l = list();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (l.nodes.empty())
        return -2;
    cloud_file_node_t &head = l.nodes.front();
    // The snapshot is renamed into place whole, so its name existing means it has landed.
    if (!exists(head.jpeg_path) && ko_sub_uint64(vexa_time_tick_ms(), head.create_tick_ms) <= CLOUD_JPEG_WAIT_MS)
        return -3;
    head.hand_out++;
    *out = head;
    return static_cast<int>(head.hand_out);
}

namespace {

// Deletes the files of an unlinked node and frees what it owns.
void discard(cloud_file_node_t &node)
{
    remove_file(node.mp4_path);
    remove_file(node.jpeg_path);
    if (static_cast<uint32_t>(node.event.types) & CLOUD_FACE_BITS)
        remove_file(node.face_path);
    cloud_node_release(&node);
}

} // namespace

int cloud_list_delete(void)
{
    cloud_file_node_t head;
    {
        clip_list &l = list();
        std::lock_guard<std::mutex> lock(l.mutex);
        if (l.nodes.empty())
            return -2;
        head = l.nodes.front();
        l.nodes.pop_front();
        l.used -= head.size;
    }
    discard(head);
    return 0;
}

int cloud_list_delete_node(uint64_t create_tick_ms, const char *mp4_path)
{
    cloud_file_node_t node;
    {
        clip_list &l = list();
        std::lock_guard<std::mutex> lock(l.mutex);
        auto it = std::find_if(l.nodes.begin(), l.nodes.end(), [&](const cloud_file_node_t &n) {
            return n.create_tick_ms == create_tick_ms && std::strncmp(n.mp4_path, mp4_path, sizeof n.mp4_path) == 0;
        });
        if (it == l.nodes.end())
            return -2;
        node = *it;
        l.nodes.erase(it);
        l.used -= node.size;
    }
    discard(node);
    return 0;
}

void cloud_node_release(cloud_file_node_t *node)
{
    ko_event_face face;
    std::memcpy(&face, node->event.face, sizeof face);
    vexa_free(face.feature);
    std::memset(node->event.face, 0, sizeof node->event.face);
}

void cloud_list_delete_all(void)
{
    int32_t count = 0;
    cloud_list_usage(&count, nullptr, nullptr);
    for (int32_t i = 0; i < count; ++i)
        cloud_list_delete();
}

void cloud_list_usage(int32_t *count, int32_t *used, int32_t *size)
{
    clip_list &l = list();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (count)
        *count = static_cast<int32_t>(l.nodes.size());
    if (used)
        *used = static_cast<int32_t>(l.used);
    if (size)
        *size = static_cast<int32_t>(l.size);
}
