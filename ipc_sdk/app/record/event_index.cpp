// Records of one period are consecutive and share its time. A list is copied under the context's lock
// and sent after it is released.
#include "event_index.h"

#include <string.h>

#include <array>
#include <vector>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "sd_index_module.h"
#include "sd_statistics.h"

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";
constexpr IndexLayout kLayout{EVENT_INDEX_RECORD_SIZE, 41, 32, 40, 0};
static_assert(EVENT_INDEX_RECORD_SIZE == 8 + 4 + 20 + 4 + 4 + 1 + 4, "event record layout");

IndexModule g_event{"event_index", SD_KIND_EVENT, kLayout, true};

using Lock = std::lock_guard<std::recursive_mutex>;

struct BitType {
    uint8_t bit, type;
};
// Ascending by type: a period's records are written in type order.
constexpr std::array<BitType, 14> kTypes{{{0, 0}, {1, 1}, {18, 2}, {9, 4}, {10, 5}, {3, 7}, {17, 8}, {19, 9},
                                          {20, 10}, {21, 11}, {22, 12}, {23, 13}, {14, 14}, {16, 15}}};

// Sends the group packets of a list in pieces of at most `size` bytes.
class GroupSender {
public:
    GroupSender(int channel, uint8_t tag, uint32_t size, uint32_t groups, event_list_cb cb, void *user)
        : channel_(channel), tag_(tag), groups_(groups), cb_(cb), user_(user), buf_(size)
    {
    }
    int start_group(uint32_t entries)
    {
        int rc = flush();
        memset(buf_.data(), 0, EVENT_GROUP_HEAD_SIZE);
        buf_[0] = tag_;
        put_u32(&buf_[4], entries * EVENT_ENTRY_SIZE + EVENT_GROUP_HEAD_SIZE - 12);
        put_u32(&buf_[16], groups_);
        put_u32(&buf_[20], number_++);
        used_ = EVENT_GROUP_HEAD_SIZE;
        packet_ = entries * EVENT_ENTRY_SIZE + EVENT_GROUP_HEAD_SIZE;
        remaining_ = entries * EVENT_ENTRY_SIZE;
        return rc;
    }
    int add(const uint8_t *entry)
    {
        int rc = 0;
        if (used_ + EVENT_ENTRY_SIZE > buf_.size())
            rc = flush();
        memcpy(&buf_[used_], entry, EVENT_ENTRY_SIZE);
        used_ += EVENT_ENTRY_SIZE;
        remaining_ -= EVENT_ENTRY_SIZE;
        return rc;
    }
    int flush()
    {
        if (used_ == 0)
            return 0;
        const int rc = cb_(channel_, packet_, remaining_, buf_.data(), static_cast<uint32_t>(used_), user_);
        used_ = 0;
        if (rc != 0)
            KO_LOGE(kModule, "p_func fail.\n");
        return rc;
    }

private:
    int channel_;
    uint8_t tag_;
    uint32_t groups_, number_ = 0, packet_ = 0, remaining_ = 0;
    event_list_cb cb_;
    void *user_;
    std::vector<uint8_t> buf_;
    size_t used_ = 0;
};
} // namespace
} // namespace sd

using namespace sd;

extern "C" int event_init(int cameras) { return index_module_init(g_event, cameras); }

extern "C" int event_deinit(void) { return index_module_deinit(g_event); }

extern "C" uint64_t event_get_defalut_size_bytes(uint32_t fragments)
{
    return kIndexHeadSize + 12ull * EVENT_INDEX_RECORD_SIZE * fragments;
}

extern "C" int event_add_fargment(int channel, uint32_t start, uint32_t event_bits)
{
    if (start <= kIndexMinTime) {
        KO_LOGE(kModule, "err timestamp=%u\n", start);
        g_statistics_storage.index_update_err++;
        return -1;
    }
    uint32_t count = 0;
    for (const BitType &t : kTypes)
        count += (event_bits >> t.bit) & 1;
    if (count == 0)
        return 0;
    if (!index_module_ready(g_event)) {
        KO_LOGE(kModule, "%s not init \n", g_event.who);
        return -1;
    }
    IndexLog *log = index_context(g_event, channel);
    if (!log)
        return -2;
    Lock guard(log->lock);
    if (index_ensure_open(g_event, *log) != 0) {
        g_statistics_storage.index_add_err++;
        return -3;
    }
    for (const BitType &t : kTypes) {
        if (!((event_bits >> t.bit) & 1))
            continue;
        KO_LOGI(kModule, "add a new event %llu,%u to index file\n", static_cast<unsigned long long>(start), t.type);
        uint8_t slot[EVENT_INDEX_RECORD_SIZE] = {};
        put_u64(slot, start);
        put_u32(slot + 8, t.type);
        put_u32(slot + 36, count);
        if (log_append(*log, kLayout, g_event.mode, slot) != 0) {
            KO_LOGE(kModule, "_add_index fail. file=%s\n", log->name.c_str());
            g_statistics_storage.index_add_err++;
            return -6;
        }
    }
    return 0;
}

extern "C" int event_get_index(int channel, uint8_t tag, uint32_t start, uint32_t end, uint32_t size,
                               event_list_cb cb, void *user)
{
    if (!index_module_ready(g_event) || !cb || end < start || size < EVENT_GROUP_HEAD_SIZE + 1) {
        KO_LOGE(kModule, "event_get_index para fail.\n");
        return -2;
    }
    IndexLog *log = index_context(g_event, channel);
    if (!log)
        return -3;
    const uint64_t t0 = vexa_time_tick_ms();
    // The live records in range, by period: the group heads announce what is sent.
    struct Group {
        uint32_t time;
        std::vector<uint8_t> entries;
    };
    std::vector<Group> groups;
    {
        Lock guard(log->lock);
        if (!log->file || log->valid_count == 0) {
            KO_LOGE(kModule, "valid_count is %d!\n", static_cast<int>(log->valid_count));
            return -6;
        }
        CursorGuard cursor(*log);
        const int rc = log_walk(*log, kLayout, g_event.mode, [&](uint8_t *slot, int64_t) {
            const uint32_t t = slot_time(kLayout, slot);
            if (t > end) {
                KO_LOGI(kModule, "find over, cur_time: %llu, count = %d\n", static_cast<unsigned long long>(t),
                        static_cast<int>(groups.size()));
                return Walk::Stop;
            }
            if (t >= start && !slot_deleted(kLayout, slot)) {
                if (groups.empty() || groups.back().time != t)
                    groups.push_back({t, {}});
                groups.back().entries.insert(groups.back().entries.end(), slot, slot + EVENT_ENTRY_SIZE);
            }
            return Walk::Next;
        });
        if (rc != 0)
            return -1;
    }
    if (groups.empty()) {
        KO_LOGI(kModule, "_get_index_range fail [%u, %u].\n", start, end);
        return -1;
    }
    GroupSender sender(channel, tag, size, static_cast<uint32_t>(groups.size()), cb, user);
    int rc = 0;
    for (const Group &g : groups) {
        const uint32_t n = static_cast<uint32_t>(g.entries.size() / EVENT_ENTRY_SIZE);
        rc = sender.start_group(n);
        for (uint32_t i = 0; i < n && rc == 0; i++)
            rc = sender.add(&g.entries[i * EVENT_ENTRY_SIZE]);
        if (rc != 0)
            break;
    }
    if (rc == 0)
        rc = sender.flush();
    KO_LOGI(kModule, "%s over, total_num: %d\n", __func__, static_cast<int>(groups.size()));
    KO_LOGI(kModule, "%s cost: %llu ms, ret=%d\n", __func__, static_cast<unsigned long long>(vexa_time_tick_ms() - t0),
            rc);
    return rc;
}

extern "C" int event_del_index_before(int channel, uint64_t time)
{
    return index_del_before(g_event, channel, time);
}

extern "C" int event_del_index(int channel, const uint32_t *times, int count)
{
    return index_del_listed(g_event, channel, times, count);
}

extern "C" int event_clear_old_data(const char *path) { return path ? log_clear_file(kLayout, path, path) : -1; }
