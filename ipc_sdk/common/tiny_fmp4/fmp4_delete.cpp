// Blanking an index period of a finished recording: its entry is marked deleted and what follows the
// index box becomes one zero-filled "free" box, so the reader skips it and the footage is gone. The
// mark alone can be made durable first, and the card's start blanks what a mark left behind.
#include <string.h>

#include <algorithm>
#include <vector>

#include "app/record/sd_file.h"
#include "app/record/sd_io.h"
#include "common/utils/ko_log.h"
#include "fmp4_box.h"
#include "fmp4_demuxer.h"
#include "fmp4_muxer.h"

namespace {

constexpr const char *kModule = "fmp4";
constexpr size_t kZeroPiece = 4096;

// The index box at the entry's position must still be the one the entry names: a stale entry (the
// file was reused since) must not blank new footage.
bool entry_still_there(FILE *fp, const fmp4_index_entry_t &e, int64_t size)
{
    if (e.length < FMP4_INDEX_BOX_SIZE + 8 || static_cast<int64_t>(e.position) + e.length > size)
        return false;
    uint8_t box[FMP4_INDEX_BOX_SIZE];
    if (_seek_file(fp, e.position, SEEK_SET, size) != 0 || _read_file(fp, box, sizeof box, size) != 0)
        return false;
    const fmp4_index_entry_t on_card = fmp4::decode_index_entry(box + fmp4::kIndexEntryOffset);
    return fmp4::be32(box) == FMP4_INDEX_BOX_SIZE && memcmp(box + 4, "uuid", 4) == 0 &&
           memcmp(box + 8, fmp4::kIndexUserType, sizeof fmp4::kIndexUserType) == 0 && on_card.start == e.start &&
           on_card.position == e.position;
}

int write_entry(FILE *fp, const fmp4_index_entry_t &e, int64_t size)
{
    uint8_t entry[FMP4_INDEX_ENTRY_SIZE];
    fmp4::encode_index_entry(e, entry);
    if (_seek_file(fp, e.position + fmp4::kIndexEntryOffset, SEEK_SET, size) != 0 ||
        _write_file(fp, entry, sizeof entry, size) != 0) {
        KO_LOGE(kModule, "fragment_index fwrite failed");
        return -1;
    }
    return 0;
}

int blank(FILE *fp, const fmp4_index_entry_t &e, int64_t size)
{
    if (write_entry(fp, e, size) != 0)
        return -1;
    uint8_t header[8];
    fmp4::put_box_header(header, e.length - FMP4_INDEX_BOX_SIZE, "free");
    if (_write_file(fp, header, sizeof header, size) != 0) {
        KO_LOGE(kModule, "padding_box_size fwrite failed");
        return -1;
    }
    static const std::vector<uint8_t> zeros(kZeroPiece, 0);
    for (size_t left = e.length - FMP4_INDEX_BOX_SIZE - 8; left > 0;) {
        const size_t n = left < kZeroPiece ? left : kZeroPiece;
        if (_write_file(fp, zeros.data(), n, size) != 0) {
            KO_LOGE(kModule, "padding_box_size fwrite failed");
            return -1;
        }
        left -= n;
    }
    return fflush(fp) == 0 ? 0 : -1;
}

// Whether the period's footage is gone: one "free" box from behind the index box to the period's end,
// whose last bytes (the last written) are zero.
bool blanked(FILE *fp, const fmp4_index_entry_t &e, int64_t size)
{
    uint8_t header[8], tail[8];
    if (_seek_file(fp, e.position + FMP4_INDEX_BOX_SIZE, SEEK_SET, size) != 0 ||
        _read_file(fp, header, sizeof header, size) != 0 ||
        _seek_file(fp, e.position + e.length - sizeof tail, SEEK_SET, size) != 0 ||
        _read_file(fp, tail, sizeof tail, size) != 0)
        return false;
    const bool empty_box = e.length < FMP4_INDEX_BOX_SIZE + 8 + sizeof tail;
    return fmp4::be32(header) == e.length - FMP4_INDEX_BOX_SIZE && memcmp(header + 4, "free", 4) == 0 &&
           (empty_box || std::all_of(tail, tail + sizeof tail, [](uint8_t b) { return b == 0; }));
}

// fn(fp, size) on the file opened for update while the entry's index box is still there: fn's result,
// or -1.
template <typename Fn> int on_entry(const char *path, const fmp4_index_entry_t &e, Fn fn)
{
    int err = 0;
    FILE *fp = path ? _open_file(path, "rb+", &err) : nullptr;
    if (!fp) {
        KO_LOGE(kModule, "open mp4 file fail");
        return -1;
    }
    const int64_t size = _get_capacity(fp);
    int rc = -1;
    if (!entry_still_there(fp, e, size))
        KO_LOGE(kModule, "fmp4_muxer_fragment_delete_by_index seek fragment offset failed!");
    else
        rc = fn(fp, size);
    if (_close_file(fp) != 0)
        rc = -1;
    return rc;
}

} // namespace

extern "C" int fmp4_muxer_fragment_delete_by_index(const char *path, const fmp4_index_entry_t *entry)
{
    if (!entry) {
        KO_LOGE(kModule, "fragment_index is NULL");
        return -1;
    }
    if (on_entry(path, *entry, [entry](FILE *fp, int64_t size) { return blank(fp, *entry, size); }) != 0) {
        KO_LOGE(kModule, "fmp4 muxer delete fragment by index failed, fliepath:%s, fragment timestamp:%u!", path,
                entry->start);
        return -1;
    }
    KO_LOGI(kModule, "fmp4 muxer delete fragment by index success, fliepath:%s, fragment timestamp:%u!", path,
            entry->start);
    return 0;
}

extern "C" int fmp4_muxer_fragment_mark_deleted(const char *path, const fmp4_index_entry_t *entry)
{
    if (!entry)
        return -1;
    return on_entry(path, *entry, [entry](FILE *fp, int64_t size) {
        return write_entry(fp, *entry, size) == 0 && sd_io_sync(fp) == 0 ? 0 : -1;
    });
}

extern "C" int fmp4_muxer_fragment_blank_deleted(const char *path)
{
    fmp4_demuxer_t *d = fmp4_demuxer_open(path);
    if (!d)
        return -1;
    const fmp4_index_entry_t *entries = nullptr;
    uint32_t bytes = 0;
    std::vector<fmp4_index_entry_t> deleted;
    if (fmp4_demuxer_read_fileinfo(d, &entries, &bytes) == 0 && entries)
        for (uint32_t i = 0; i < bytes / FMP4_INDEX_ENTRY_SIZE; i++)
            if ((entries[i].flags & FMP4_INDEX_DELETED) && entries[i].length != 0)
                deleted.push_back(entries[i]);
    fmp4_demuxer_close(d);
    int count = 0;
    for (const fmp4_index_entry_t &e : deleted) {
        const int rc = on_entry(path, e, [&e](FILE *fp, int64_t size) {
            return blanked(fp, e, size) ? 0 : blank(fp, e, size) == 0 ? 1 : -1;
        });
        if (rc < 0) {
            KO_LOGE(kModule, "deleted period %u of %s not blanked", e.start, path);
            return -1;
        }
        if (rc > 0)
            KO_LOGI(kModule, "deleted period %u of %s blanked", e.start, path);
        count += rc;
    }
    return count;
}

extern "C" int fmp4_muxer_fragment_delete(const char *path, uint32_t timestamp)
{
    fmp4_demuxer_t *d = fmp4_demuxer_open(path);
    if (!d)
        return -1;
    const fmp4_index_entry_t *entries = nullptr;
    uint32_t bytes = 0;
    fmp4_demuxer_read_fileinfo(d, &entries, &bytes);
    const uint32_t count = bytes / FMP4_INDEX_ENTRY_SIZE;
    fmp4_index_entry_t found{};
    bool have = false;
    for (uint32_t i = count; i-- > 0 && !have;) {
        if (entries[i].start == timestamp) {
            found = entries[i];
            have = true;
        }
    }
    fmp4_demuxer_close(d);
    if (!have) {
        KO_LOGE(kModule, "not find fragment timestamp:%u, filepath:%s, index count:%u", timestamp, path, count);
        return -1;
    }
    if (found.flags & FMP4_INDEX_DELETED) {
        KO_LOGI(kModule, "fragment timestamp:%u, duration:%u is already deleted!", timestamp, found.duration);
        return 0;
    }
    found.flags |= FMP4_INDEX_DELETED;
    return fmp4_muxer_fragment_delete_by_index(path, &found);
}
