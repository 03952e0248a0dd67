// The event manager's one instance: the list of kept events (oldest first), the repeat check per
// consumer, the fetch by time window and the pending check that expires old events.
#include "common/event/ko_event.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/utils/vexa_mem.h"

#define EVT_MODULE "KO EVENT"

static_assert(sizeof(ko_event_face) <= KO_EVENT_DATA_SIZE, "face view must fit the event data");

namespace {

struct Node {
    uint8_t consumers; // bits the event was stored for
    uint8_t pending;   // bits that have not taken it yet
    ko_event_info info;
    Node *prev;
    Node *next;
};

struct Manager {
    std::mutex lock;
    std::atomic<bool> inited{false}; // written under the lock, read early without it
    unsigned node_num = 0;
    bool type2_seen = false;
    Node *head = nullptr; // oldest
    Node *tail = nullptr; // newest
};

Manager g_mgr;

bool is_face(int32_t type)
{
    return type == KO_EVENT_TYPE_FACE || type == KO_EVENT_TYPE_FACE2;
}

ko_event_face face_of(const uint8_t *data)
{
    ko_event_face face;
    std::memcpy(&face, data, sizeof(face));
    return face;
}

void set_feature(uint8_t *data, uint32_t *feature)
{
    ko_event_face face = face_of(data);
    face.feature = feature;
    std::memcpy(data, &face, sizeof(face));
}

// A copy of the face event's feature array, or nullptr (logged).
uint32_t *copy_features(const ko_event_face &face)
{
    auto *copy = static_cast<uint32_t *>(vexa_malloc(sizeof(uint32_t) * face.feature_num));
    if (!copy) {
        KO_LOGE(EVT_MODULE, "malloc err!\n");
        return nullptr;
    }
    std::memcpy(copy, face.feature, sizeof(uint32_t) * face.feature_num);
    return copy;
}

void free_node(Node *node)
{
    if (is_face(node->info.type))
        vexa_free(face_of(node->info.data).feature);
    vexa_free(node);
}

// Unlinks and frees a node; the caller holds the lock.
void remove_node(Node *node)
{
    (node->prev ? node->prev->next : g_mgr.head) = node->next;
    (node->next ? node->next->prev : g_mgr.tail) = node->prev;
    --g_mgr.node_num;
    free_node(node);
}

// True when the consumer keeps the event: no earlier event of the same type for it, or one at
// least 1500 ms older.
bool event_repeat_check(int consumer, const ko_event_info &info)
{
    std::lock_guard<std::mutex> guard(g_mgr.lock);
    for (const Node *node = g_mgr.tail; node; node = node->prev) {
        if (!(node->consumers & consumer) || node->info.type != info.type)
            continue;
        return ko_sub_uint64(info.time_ms, node->info.time_ms) >= KO_EVENT_REPEAT_MS;
    }
    return true;
}

void event_list_add(uint8_t consumers, const ko_event_info &info)
{
    if (!g_mgr.inited) {
        KO_LOGE(EVT_MODULE, "para err,event_info=%p,object=%d\n", static_cast<const void *>(&info), 0);
        return;
    }
    auto *node = static_cast<Node *>(vexa_malloc(sizeof(Node)));
    if (!node) {
        KO_LOGE(EVT_MODULE, "malloc err!\n");
        return;
    }
    node->consumers = consumers;
    node->pending = consumers;
    node->info = info;
    if (is_face(info.type)) {
        const ko_event_face face = face_of(info.data);
        if (!face.feature || face.feature_num == 0) {
            KO_LOGE(EVT_MODULE, "face.feature=%p,face.feature_num=%u!\n", static_cast<void *>(face.feature),
                    static_cast<unsigned>(face.feature_num));
            vexa_free(node);
            return;
        }
        uint32_t *copy = copy_features(face);
        if (!copy) {
            vexa_free(node);
            return;
        }
        set_feature(node->info.data, copy);
    }

    std::lock_guard<std::mutex> guard(g_mgr.lock);
    if (!g_mgr.inited) { // stopped while the node was being built
        KO_LOGE(EVT_MODULE, "para err,event_info=%p,object=%d\n", static_cast<const void *>(&info), 0);
        free_node(node);
        return;
    }
    if (g_mgr.node_num >= KO_EVENT_MAX_NODES)
        remove_node(g_mgr.head);
    if (info.type == 2)
        g_mgr.type2_seen = true;
    node->next = nullptr;
    node->prev = g_mgr.tail;
    (g_mgr.tail ? g_mgr.tail->next : g_mgr.head) = node;
    g_mgr.tail = node;
    ++g_mgr.node_num;
}

} // namespace

int ko_event_manage_init(void)
{
    std::lock_guard<std::mutex> guard(g_mgr.lock);
    if (g_mgr.inited) {
        KO_LOGI(EVT_MODULE, "ko_event_manage_init already inited\n");
        return 0;
    }
    g_mgr.inited = true;
    return 0;
}

int ko_event_manage_deinit(void)
{
    std::lock_guard<std::mutex> guard(g_mgr.lock);
    if (!g_mgr.inited)
        return 0;
    while (g_mgr.head)
        remove_node(g_mgr.head);
    g_mgr.type2_seen = false;
    g_mgr.inited = false;
    return 0;
}

int ko_ipc_event_trigger(int consumers, const ko_event_info *info)
{
    if (!info || !g_mgr.inited) {
        KO_LOGE(EVT_MODULE, "para err,event_info=%p,object=%d\n", static_cast<const void *>(info),
                g_mgr.inited ? 1 : 0);
        return -1;
    }
    // The type set of a fetch has one bit per type; a wider type would be lost or overflow it.
    if (info->type < 0 || info->type > KO_EVENT_TYPE_MAX) {
        KO_LOGE(EVT_MODULE, "invalid event type %d\n", info->type);
        return -1;
    }
    ko_event_info copy = *info;
    if (copy.time_ms == 0)
        copy.time_ms = vexa_time_tick_ms();

    auto left = static_cast<uint8_t>(consumers);
    if ((left & KO_EVENT_CONSUMER_CLOUD) && !event_repeat_check(KO_EVENT_CONSUMER_CLOUD, copy))
        left &= static_cast<uint8_t>(~KO_EVENT_CONSUMER_CLOUD);
    if ((left & KO_EVENT_CONSUMER_SD) && !event_repeat_check(KO_EVENT_CONSUMER_SD, copy))
        left &= static_cast<uint8_t>(~KO_EVENT_CONSUMER_SD);
    if (left == 0)
        return 0;
    event_list_add(left, copy);
    return 0;
}

int ko_event_get_info(int consumer, uint64_t start_ms, uint64_t end_ms, ko_event_result *out)
{
    if (!out || !g_mgr.inited) {
        KO_LOGE(EVT_MODULE, "para err,event=%p,object=%d\n", static_cast<void *>(out), g_mgr.inited ? 1 : 0);
        return -1;
    }
    std::memset(out, 0, sizeof(*out));
    int found = 0;
    std::lock_guard<std::mutex> guard(g_mgr.lock);
    if (!g_mgr.inited)
        return -1;
    for (Node *node = g_mgr.head; node; node = node->next) {
        if (!(node->consumers & consumer) || !(node->pending & consumer))
            continue;
        const uint64_t t = node->info.time_ms;
        if (t >= start_ms && t < end_ms) {
            node->pending &= static_cast<uint8_t>(~consumer);
            out->types |= 1ull << node->info.type;
            if (is_face(node->info.type)) {
                uint32_t *copy = copy_features(face_of(node->info.data));
                if (copy) {
                    // An earlier face event's copy in the result is replaced: free it.
                    vexa_free(face_of(out->face).feature);
                    std::memcpy(out->face, node->info.data, sizeof(out->face));
                    set_feature(out->face, copy);
                }
            }
            ++found;
        } else if (t < start_ms || (t == start_ms && start_ms >= end_ms)) {
            node->pending &= static_cast<uint8_t>(~consumer);
        }
    }
    return found;
}

int ko_event_get_count(int consumer, uint8_t *type2_seen, int clear)
{
    std::lock_guard<std::mutex> guard(g_mgr.lock);
    if (!g_mgr.inited) {
        KO_LOGE(EVT_MODULE, "list err,init_flag=%u,node_num=%u\n", 0u, g_mgr.node_num);
        return -1;
    }
    if (type2_seen) {
        *type2_seen = g_mgr.type2_seen ? 1 : 0;
        if (clear)
            g_mgr.type2_seen = false;
    }
    const uint64_t now = vexa_time_tick_ms();
    Node *node = g_mgr.head;
    while (node) {
        Node *next = node->next;
        if (node->pending == 0 || ko_sub_uint64(now, node->info.time_ms) > KO_EVENT_EXPIRE_MS) {
            KO_LOGD(EVT_MODULE, "free node node_num=%u,del_obj=%x,event=%d,use=%x,tick_ms=%llu \n", g_mgr.node_num,
                    static_cast<unsigned>(node->consumers), node->info.type, static_cast<unsigned>(node->pending),
                    static_cast<unsigned long long>(node->info.time_ms));
            remove_node(node);
        } else if ((node->consumers & consumer) && (node->pending & consumer)) {
            return 1;
        }
        node = next;
    }
    return 0;
}
