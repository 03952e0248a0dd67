// Blanking an index period of a finished recording: its entry is marked deleted and what follows the
// index box becomes one zero-filled "free" box, so the reader skips it and the footage is gone.
#include <string.h>

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

int blank(FILE *fp, const fmp4_index_entry_t &e, int64_t size)
{
    uint8_t entry[FMP4_INDEX_ENTRY_SIZE];
    fmp4::encode_index_entry(e, entry);
    if (_seek_file(fp, e.position + fmp4::kIndexEntryOffset, SEEK_SET, size) != 0 ||
        _write_file(fp, entry, sizeof entry, size) != 0) {
        KO_LOGE(kModule, "fragment_index fwrite failed");
        return -1;
    }
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

} // namespace

extern "C" int fmp4_muxer_fragment_delete_by_index(const char *path, const fmp4_index_entry_t *entry)
{
    if (!entry) {
        KO_LOGE(kModule, "fragment_index is NULL");
        return -1;
    }
    int err = 0;
    FILE *fp = path ? _open_file(path, "rb+", &err) : nullptr;
    if (!fp) {
        KO_LOGE(kModule, "open mp4 file fail");
        return -1;
    }
    const int64_t size = _get_capacity(fp);
    int rc = -1;
    if (!entry_still_there(fp, *entry, size))
        KO_LOGE(kModule, "fmp4_muxer_fragment_delete_by_index seek fragment offset failed!");
    else
        rc = blank(fp, *entry, size);
    if (_close_file(fp) != 0)
        rc = -1;
    if (rc != 0) {
        KO_LOGE(kModule, "fmp4 muxer delete fragment by index failed, fliepath:%s, fragment timestamp:%u!", path,
                entry->start);
        return -1;
    }
    KO_LOGI(kModule, "fmp4 muxer delete fragment by index success, fliepath:%s, fragment timestamp:%u!", path,
            entry->start);
    return 0;
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
