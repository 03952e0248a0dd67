#include "sd_index_log.h"

#include <string.h>

#include <vector>

#include "common/utils/ko_crc32.h"
#include "common/utils/ko_log.h"
#include "sd_file.h"
#include "sd_io.h"
#include "sd_statistics.h"

sd::StorageStatistics g_statistics_storage;

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";
constexpr int64_t kScanChunkSlots = 256;

int read_head(FILE *fp, int64_t cap, std::array<uint8_t, 128> &head)
{
    int rc = _seek_file(fp, 0, SEEK_SET, cap);
    return rc != 0 ? rc : _read_file(fp, head.data(), head.size(), cap);
}

// Zeroes every slot (a zero slot fails its CRC) so that no record of an earlier log survives a new head.
int invalidate_slots(FILE *fp, int64_t cap)
{
    static const std::array<uint8_t, 64 * 1024> zeros{};
    int rc = _seek_file(fp, kIndexHeadSize, SEEK_SET, cap);
    for (int64_t off = kIndexHeadSize; rc == 0 && off < cap; off += zeros.size()) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(zeros.size(), cap - off));
        rc = _write_file(fp, zeros.data(), n, cap);
    }
    return rc;
}
} // namespace

uint32_t get_u32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void put_u32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_u64(uint8_t *p, uint64_t v)
{
    put_u32(p, static_cast<uint32_t>(v));
    put_u32(p + 4, static_cast<uint32_t>(v >> 32));
}

std::array<uint8_t, 128> index_head(uint32_t kind)
{
    std::array<uint8_t, 128> h{};
    put_u32(h.data(), kind);
    put_u32(h.data() + 4, 1);
    put_u32(h.data() + 124, ko_crc32_total(h.data(), 124));
    return h;
}

bool slot_valid(const IndexLayout &l, const uint8_t *slot)
{
    return ko_crc32_total(slot, l.crc_off) == get_u32(slot + l.crc_off);
}

void slot_seal(const IndexLayout &l, uint8_t *slot) { put_u32(slot + l.crc_off, ko_crc32_total(slot, l.crc_off)); }

void IndexLog::reset()
{
    if (file)
        _close_file(file);
    file = nullptr;
    name.clear();
    channel = SD_CHANNEL_NONE;
    capacity = 0;
    max_seq = 0;
    beg_pos = kIndexHeadSize;
    valid_count = 0;
}

CursorGuard::CursorGuard(IndexLog &log) : log_(log), pos_(log.file ? _tell_file(log.file) : -1) {}

CursorGuard::~CursorGuard()
{
    if (pos_ >= 0 && _seek_file(log_.file, pos_, SEEK_SET, log_.capacity) != 0)
        KO_LOGE(kModule, "seek fail \n");
}

bool log_live(const IndexLog &log, const IndexLayout &l, const uint8_t *slot)
{
    return slot_valid(l, slot) && !slot_deleted(l, slot) && !seq_newer(slot_seq(l, slot), log.max_seq);
}

int64_t log_next(const IndexLog &log, const IndexLayout &l, int64_t off)
{
    off += l.slot;
    return off + l.slot > log.capacity ? kIndexHeadSize : off;
}

int64_t log_prev(const IndexLog &log, const IndexLayout &l, int64_t off)
{
    if (off <= kIndexHeadSize)
        return kIndexHeadSize + ((log.capacity - kIndexHeadSize) / l.slot - 1) * l.slot;
    return off - l.slot;
}

int log_wrap(IndexLog &log, const IndexLayout &l)
{
    const int64_t pos = _tell_file(log.file);
    if (pos < 0)
        return static_cast<int>(pos);
    if (pos >= kIndexHeadSize && pos + l.slot <= log.capacity)
        return 0;
    int rc = _seek_file(log.file, kIndexHeadSize, SEEK_SET, log.capacity);
    if (rc != 0)
        KO_LOGE(kModule, "seek fail.\n");
    return rc;
}

int log_read_at(IndexLog &log, const IndexLayout &l, const IndexMode &mode, int64_t off, uint8_t *slot)
{
    int rc = mode.need_read();
    if (rc == 0)
        rc = _seek_file(log.file, off, SEEK_SET, log.capacity);
    if (rc == 0)
        rc = _read_file(log.file, slot, l.slot, log.capacity);
    if (rc != 0) {
        g_statistics_storage.index_scan_err++;
        KO_LOGE(kModule, "_read_index fail. file=%s\n", log.name.c_str());
    }
    return rc;
}

int log_read_run(IndexLog &log, const IndexLayout &l, const IndexMode &mode, int64_t off, int64_t max, uint8_t *buf)
{
    const int64_t n = std::min(max, (log.capacity - off) / l.slot);
    int rc = mode.need_read();
    if (rc == 0 && n <= 0)
        rc = -3;
    if (rc == 0)
        rc = _seek_file(log.file, off, SEEK_SET, log.capacity);
    if (rc == 0)
        rc = _read_file(log.file, buf, static_cast<size_t>(n * l.slot), log.capacity);
    if (rc != 0) {
        g_statistics_storage.index_scan_err++;
        KO_LOGE(kModule, "_read_index fail. file=%s\n", log.name.c_str());
        return rc;
    }
    return static_cast<int>(n);
}

int log_write_at(IndexLog &log, const IndexLayout &l, const IndexMode &mode, int64_t off, const uint8_t *slot)
{
    int rc = mode.need_write();
    if (rc == 0)
        rc = _seek_file(log.file, off, SEEK_SET, log.capacity);
    if (rc == 0)
        rc = _write_file(log.file, slot, l.slot, log.capacity);
    if (rc != 0)
        KO_LOGE(kModule, "_write_file fail. file=%s\n", log.name.c_str());
    return rc;
}

int log_scan(IndexLog &log, const IndexLayout &l)
{
    struct Meta {
        uint32_t seq;
        bool valid, deleted;
    };
    const int64_t slots = (log.capacity - kIndexHeadSize) / l.slot;
    std::vector<Meta> meta(static_cast<size_t>(slots));
    std::vector<uint8_t> chunk(static_cast<size_t>(kScanChunkSlots * l.slot));
    int rc = _seek_file(log.file, kIndexHeadSize, SEEK_SET, log.capacity);
    for (int64_t k = 0; rc == 0 && k < slots; k += kScanChunkSlots) {
        const int64_t n = std::min(kScanChunkSlots, slots - k);
        rc = _read_file(log.file, chunk.data(), static_cast<size_t>(n * l.slot), log.capacity);
        for (int64_t i = 0; rc == 0 && i < n; i++) {
            const uint8_t *s = chunk.data() + i * l.slot;
            meta[static_cast<size_t>(k + i)] = {slot_seq(l, s), slot_valid(l, s), slot_deleted(l, s)};
        }
    }
    if (rc != 0) {
        g_statistics_storage.index_scan_err++;
        KO_LOGE(kModule, "_read_index fail. file=%s\n", log.name.c_str());
        return rc;
    }
    // The newest record ends a run: the slot after it does not continue its sequence. Of several ends
    // (a torn write, a log cut short) the newest in serial order wins.
    int64_t newest = -1;
    for (int64_t k = 0; k < slots; k++) {
        const Meta &m = meta[static_cast<size_t>(k)];
        if (!m.valid)
            continue;
        const Meta &after = meta[static_cast<size_t>((k + 1) % slots)];
        if (after.valid && after.seq == next_seq(m.seq) && slots > 1)
            continue;
        if (newest < 0 || seq_newer(m.seq, meta[static_cast<size_t>(newest)].seq))
            newest = k;
    }
    log.max_seq = 0;
    log.valid_count = 0;
    log.beg_pos = kIndexHeadSize;
    int64_t cursor = 0;
    if (newest >= 0) {
        log.max_seq = meta[static_cast<size_t>(newest)].seq;
        cursor = (newest + 1) % slots;
        // Walk the run back from the newest record; its oldest live record is beg_pos.
        int64_t k = newest, oldest_live = -1;
        uint32_t seq = log.max_seq;
        for (int64_t n = 0; n < slots; n++) {
            const Meta &m = meta[static_cast<size_t>(k)];
            if (!m.valid || m.seq != seq)
                break;
            if (!m.deleted) {
                log.valid_count++;
                oldest_live = k;
            }
            seq = seq == 1 ? 0xFFFFFFFFu : seq - 1;
            k = (k + slots - 1) % slots;
        }
        if (oldest_live >= 0)
            log.beg_pos = kIndexHeadSize + oldest_live * l.slot;
    }
    rc = _seek_file(log.file, kIndexHeadSize + cursor * l.slot, SEEK_SET, log.capacity);
    KO_LOGI(kModule, "context para, channel:%d, max_seq:%u, valid_count: %u, ", log.channel, log.max_seq,
            log.valid_count);
    KO_LOGI(kModule, "index_file:%s, index_cap:%d, beg_pos:%d, index_cur:%d\n", log.name.c_str(),
            static_cast<int>(log.capacity), static_cast<int>(log.beg_pos),
            static_cast<int>(kIndexHeadSize + cursor * l.slot));
    return rc;
}

int log_open(IndexLog &log, const IndexLayout &l, IndexMode &mode, const char *path, const char *who,
             bool *open_failed)
{
    FILE *fp = nullptr;
    const int m = _open_file_wr(path, &fp);
    if (open_failed)
        *open_failed = m != 1 && m != 3;
    if (m != 1 && m != 3) {
        KO_LOGE(kModule, "%s _open_file_wr fail. file=%s\n", who, path);
        return m;
    }
    mode.word = m;
    log.file = fp;
    log.capacity = _get_capacity(fp);
    if (log.capacity < kIndexHeadSize + l.slot) {
        KO_LOGE(kModule, "init_context_capacity fail. file=%s\n", path);
        _close_file(fp);
        log.file = nullptr;
        return -1;
    }
    std::array<uint8_t, 128> head{};
    int rc = read_head(fp, log.capacity, head);
    if (rc != 0) {
        // A head that cannot be read says nothing about the log: keep it and report.
        KO_LOGE(kModule, "_read_index fail. file=%s\n", path);
    } else if (head != index_head(3)) {
        rc = mode.need_write();
        if (rc == 0)
            rc = invalidate_slots(fp, log.capacity);
        if (rc == 0)
            rc = log_seal_file(fp, who);
        if (rc == 0) {
            log.max_seq = 0;
            log.valid_count = 0;
            log.beg_pos = kIndexHeadSize;
            rc = _seek_file(fp, kIndexHeadSize, SEEK_SET, log.capacity);
        } else {
            KO_LOGE(kModule, "_add_head fail. file=%s\n", path);
            g_statistics_storage.index_add_err++;
        }
    } else {
        rc = log_scan(log, l);
    }
    if (rc != 0) {
        _close_file(fp);
        log.file = nullptr;
    }
    return rc;
}

int log_append(IndexLog &log, const IndexLayout &l, const IndexMode &mode, uint8_t *slot)
{
    uint8_t old[kIndexMaxSlot];
    int rc = log_wrap(log, l);
    if (rc != 0) {
        KO_LOGE(kModule, "_ensure_not_end fail. file=%s\n", log.name.c_str());
        return -5;
    }
    const int64_t cursor = _tell_file(log.file);
    if (log_read_at(log, l, mode, cursor, old) != 0 || _seek_file(log.file, cursor, SEEK_SET, log.capacity) != 0)
        return -5;
    if (log_live(log, l, old)) {
        KO_LOGE(kModule, "not delete. %u\n", slot_time(l, old));
        KO_LOGE(kModule, "_can_write_index fail. file=%s\n", log.name.c_str());
        return -5;
    }
    const uint32_t seq = next_seq(log.max_seq);
    put_u32(slot + l.seq_off, seq);
    slot_seal(l, slot);
    rc = mode.need_write();
    if (rc == 0)
        rc = _write_file(log.file, slot, l.slot, log.capacity);
    // Durable before the caller goes on: an added record commits a period.
    if (rc == 0 && sd_io_sync(log.file) != 0)
        rc = _get_system_err(SD_ERR_WRITE, errno);
    if (rc != 0) {
        // The slot may be torn: the cursor stays on it so that the next add rewrites it.
        sd_io_forget_failed_write(log.file);
        _seek_file(log.file, cursor, SEEK_SET, log.capacity);
        return -5;
    }
    if (log.valid_count == 0)
        log.beg_pos = cursor;
    log.max_seq = seq;
    log.valid_count++;
    return 0;
}

int log_del_before(IndexLog &log, const IndexLayout &l, const IndexMode &mode, uint64_t end)
{
    if (log.valid_count == 0)
        return 0;
    CursorGuard cursor(log);
    int err = 0;
    int64_t last_deleted = -1;
    int rc = log_walk(log, l, mode, [&](uint8_t *slot, int64_t off) {
        if (end < (1ull << 32) && slot_time(l, slot) >= end)
            return Walk::Stop;
        if (slot_deleted(l, slot))
            return Walk::Next;
        slot[l.delete_off] = 1;
        slot_seal(l, slot);
        if ((err = log_write_at(log, l, mode, off, slot)) != 0)
            return Walk::Stop;
        log.valid_count--;
        last_deleted = off;
        return Walk::Next;
    });
    if (last_deleted >= 0)
        log.beg_pos = log.valid_count ? log_next(log, l, last_deleted) : kIndexHeadSize;
    if (rc == 0)
        rc = err;
    // Deletions are durable before the caller goes on: a file taken back for a new recording must not
    // stay listed after a power cut once its new content is on the card.
    if ((last_deleted >= 0 ? sd_io_sync(log.file) : fflush(log.file)) != 0 && rc == 0)
        rc = _get_system_err(SD_ERR_WRITE, errno);
    if (rc != 0) {
        // A slot left unmarked is marked again by the next deletion, which walks from the oldest.
        sd_io_forget_failed_write(log.file);
        g_statistics_storage.index_del_err++;
    }
    return rc;
}

int log_scan_file(FILE *fp, const IndexLayout &l, const std::function<int(const uint8_t *slot)> &visit)
{
    const int64_t cap = _get_capacity(fp);
    std::array<uint8_t, 128> head{};
    if (cap < kIndexHeadSize || read_head(fp, cap, head) != 0)
        return 1;
    uint8_t slot[kIndexMaxSlot];
    if (head != index_head(3)) {
        // A rebuild writes the head last, so records without it are a rebuild cut short; a file with
        // neither was never written since the pool laid it out, and its first open gives it the head.
        if (cap < kIndexHeadSize + l.slot)
            return 0;
        const int rc = _read_file(fp, slot, l.slot, cap);
        return rc != 0 ? rc : slot_valid(l, slot) ? 1 : 0;
    }
    for (int64_t off = kIndexHeadSize; off + l.slot <= cap; off += l.slot) {
        int rc = _read_file(fp, slot, l.slot, cap);
        if (rc != 0)
            return rc;
        if (!slot_valid(l, slot))
            return 0;
        if ((rc = visit(slot)) != 0)
            return rc;
    }
    return 0;
}

int log_clear_file(const IndexLayout &l, const char *path, const char *who)
{
    int err = 0;
    FILE *fp = _open_file(path, "rb+", &err);
    if (!fp)
        return err;
    const int64_t cap = _get_capacity(fp);
    std::array<uint8_t, 128> head{};
    if (cap < kIndexHeadSize || read_head(fp, cap, head) != 0 || head != index_head(3)) {
        KO_LOGI(kModule, "head not exist.\n");
        return _close_file(fp);
    }
    uint8_t slot[kIndexMaxSlot];
    int cleared = 0, visited = 0;
    for (int64_t off = kIndexHeadSize; off + l.slot <= cap; off += l.slot) {
        if (_seek_file(fp, off, SEEK_SET, cap) != 0 || _read_file(fp, slot, l.slot, cap) != 0) {
            KO_LOGE(kModule, "read fail. pos: %d\n", static_cast<int>(off));
            break;
        }
        if (!slot_valid(l, slot)) {
            KO_LOGI(kModule, "crc32 is error. pos: %d\n", static_cast<int>(off));
            break;
        }
        visited++;
        if (slot_deleted(l, slot))
            put_u32(slot + l.crc_off, ~get_u32(slot + l.crc_off)); // no slot may pass after a clear
        else
            slot[l.delete_off] = 1; // the CRC stays: the slot no longer passes
        if (_seek_file(fp, off, SEEK_SET, cap) != 0 || _write_file(fp, slot, l.slot, cap) != 0)
            break;
        cleared++;
    }
    KO_LOGI(kModule, "%s is over. %d-%d\n", who, cleared, visited);
    return _close_file(fp);
}

int log_seal_file(FILE *fp, const char *who)
{
    const auto head = index_head(3);
    const int64_t cap = _get_capacity(fp);
    int rc = _seek_file(fp, 0, SEEK_SET, cap);
    if (rc == 0)
        rc = _write_file(fp, head.data(), head.size(), cap);
    if (rc == 0 && sd_io_sync(fp) != 0)
        rc = _get_system_err(SD_ERR_WRITE, errno);
    if (rc != 0)
        KO_LOGE(kModule, "%s _add_head_with_f fail \n", who);
    return rc;
}

} // namespace sd
