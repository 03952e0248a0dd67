#include "sd_pic_data.h"

#include <errno.h>

#include "common/utils/ko_crc32.h"
#include "common/utils/ko_log.h"
#include "sd_file.h"
#include "sd_io.h"
#include "sd_index_log.h"
#include "sd_pool.h"
#include "sd_statistics.h"

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";

void encode_header(uint8_t out[9], uint32_t time, uint8_t del, uint32_t size)
{
    put_u32(out, time);
    out[4] = del;
    put_u32(out + 5, size);
}

int open_data(PicDataFile &df)
{
    int cover = 1;
    sd_file_info_t *f = sd_get_path_and_set_channel(df.kind, df.channel, &cover);
    if (!f)
        return -1;
    char path[1024];
    if (sd_get_path(f->path, path) != 0)
        return -2;
    FILE *fp = nullptr;
    const int mode = _open_file_wr(path, &fp);
    if (mode != 3) {
        KO_LOGE(kModule, "_open_file_wr fail. file=%s\n", path);
        if (fp)
            _close_file(fp);
        return mode == 1 ? SD_ERR_READ_ONLY : mode;
    }
    df.capacity = _get_capacity(fp);
    if (df.capacity < kIndexHeadSize + kPicRecordOverhead) {
        KO_LOGE(kModule, "pic data _get_capacity fail. file=%s\n", path);
        _close_file(fp);
        return -4;
    }
    int rc = 0;
    int64_t pos = kIndexHeadSize;
    if (cover) {
        const auto head = index_head(df.head_word);
        rc = _seek_file(fp, 0, SEEK_SET, df.capacity);
        if (rc == 0)
            rc = _write_file(fp, head.data(), head.size(), df.capacity);
        // A zero time after the head: no stale record of the file's last use is taken as a picture.
        static const uint8_t none[9] = {};
        if (rc == 0)
            rc = _write_file(fp, none, sizeof none, df.capacity);
        if (rc != 0)
            KO_LOGE(kModule, "_add_data_head _write_data fail. \n");
        df.first = df.last = 0;
    } else {
        // A resumed file goes on after its last stamped picture.
        struct Times {
            uint64_t first = 0, last = 0;
        } t;
        pos = pic_data_walk(fp, df.capacity,
                            [](const PicRecordInfo &r, void *u) {
                                auto *times = static_cast<Times *>(u);
                                if (!times->first)
                                    times->first = r.time;
                                times->last = r.time;
                            },
                            &t);
        df.first = t.first;
        df.last = t.last;
    }
    if (rc == 0)
        rc = _seek_file(fp, pos, SEEK_SET, df.capacity);
    if (rc != 0) {
        _close_file(fp);
        return -5;
    }
    df.file = fp;
    df.name = f->path;
    KO_LOGI(kModule, "pic data write pos: %d, file: %s\n", static_cast<int>(pos), f->path);
    return 0;
}
} // namespace

void PicDataFile::close()
{
    if (file)
        _close_file(file);
    file = nullptr;
    name.clear();
    pending_pos = -1;
    pending_size = 0;
}

void pic_data_open(PicDataFile &df)
{
    if (df.file)
        return;
    const int rc = open_data(df);
    if (rc != 0)
        KO_LOGW(kModule, "channel %d: no data file opened (%d), the next record opens one\n", df.channel, rc);
}

int pic_data_ensure_room(PicDataFile &df, uint32_t size)
{
    const int64_t need = static_cast<int64_t>(size) + kPicRecordOverhead;
    if (df.file) {
        const int64_t pos = df.pending_pos >= 0 ? df.pending_pos : _tell_file(df.file);
        if (pos >= 0 && need <= df.capacity - pos)
            return 0;
        KO_LOGI(kModule, "%s is full, first: %llu, last: %llu\n", df.name.c_str(),
                static_cast<unsigned long long>(df.first), static_cast<unsigned long long>(df.last));
        const std::string name = df.name;
        const uint64_t first = df.first, last = df.last;
        df.close();
        sd_set_file_status(name.c_str(), df.kind, df.channel, first, last);
    }
    int rc = open_data(df);
    if (rc == 0 && need > df.capacity - _tell_file(df.file))
        rc = -4; // a picture larger than a whole data file
    if (rc != 0)
        KO_LOGE(kModule, "_ensurce_data_have_buf fail. file=%s\n", df.name.c_str());
    return rc;
}

int pic_data_write(PicDataFile &df, const uint8_t *data, uint32_t size)
{
    if (df.pending_pos >= 0) {
        KO_LOGI(kModule, "%s data will be cover.\n", df.name.c_str());
        if (_seek_file(df.file, df.pending_pos, SEEK_SET, df.capacity) != 0)
            return -4;
        df.pending_pos = -1;
    }
    const int64_t pos = _tell_file(df.file);
    int rc = pos < 0 ? static_cast<int>(pos) : _seek_file(df.file, pos + 9, SEEK_SET, df.capacity);
    if (rc == 0)
        rc = _write_file(df.file, data, size, df.capacity);
    if (rc == 0 && fflush(df.file) != 0)
        rc = _get_system_err(SD_ERR_WRITE, errno);
    if (pos >= 0 && _seek_file(df.file, pos, SEEK_SET, df.capacity) != 0 && rc == 0)
        rc = SD_ERR_SEEK;
    if (rc != 0) {
        KO_LOGE(kModule, "_add_data fail. file=%s\n", df.name.c_str());
        g_statistics_storage.index_add_err++;
        return -4;
    }
    df.pending_pos = pos;
    df.pending_size = size;
    return 0;
}

int pic_data_stamp(PicDataFile &df, uint32_t time, uint32_t *offset)
{
    if (df.pending_pos < 0) {
        KO_LOGE(kModule, "_add_timestamp_to_data:: data not be write\n");
        return -4;
    }
    uint8_t header[9];
    encode_header(header, time, 0, df.pending_size);
    uint8_t crc[4];
    put_u32(crc, ko_crc32_total(header, sizeof header));
    const int64_t pos = df.pending_pos;
    int rc = _seek_file(df.file, pos, SEEK_SET, df.capacity);
    if (rc == 0)
        rc = _write_file(df.file, header, sizeof header, df.capacity);
    if (rc == 0)
        rc = _seek_file(df.file, pos + 9 + df.pending_size, SEEK_SET, df.capacity);
    if (rc == 0)
        rc = _write_file(df.file, crc, sizeof crc, df.capacity);
    // The next record's time reads 0 until it is stamped, so a resume stops here.
    static const uint8_t none[4] = {};
    const int64_t end = pos + kPicRecordOverhead + df.pending_size;
    if (rc == 0 && end + 4 <= df.capacity)
        rc = _write_file(df.file, none, sizeof none, df.capacity);
    if (rc == 0)
        rc = _seek_file(df.file, end, SEEK_SET, df.capacity);
    // The stamped picture is durable before its index record commits it: a rebuild reads the stamp.
    if (rc == 0 && sd_io_sync(df.file) != 0)
        rc = _get_system_err(SD_ERR_WRITE, errno);
    if (rc != 0) {
        KO_LOGE(kModule, "_add_index fail. file=%s\n", df.name.c_str());
        _seek_file(df.file, pos, SEEK_SET, df.capacity);
        return -4;
    }
    df.pending_pos = -1;
    df.pending_size = 0;
    *offset = static_cast<uint32_t>(pos);
    if (!df.first)
        df.first = time;
    df.last = time;
    return 0;
}

int pic_data_read(FILE *fp, int64_t cap, uint32_t offset, uint32_t time, std::vector<uint8_t> &out)
{
    uint8_t header[9], crc[4];
    if (_seek_file(fp, offset, SEEK_SET, cap) != 0 || _read_file(fp, header, sizeof header, cap) != 0)
        return -6;
    const uint32_t size = get_u32(header + 5);
    if (get_u32(header) != time) {
        KO_LOGE(kModule, "_read_data time err. need_time:%u \n", time);
        return -6;
    }
    // The size comes from the card: it must lie within the file and the header must pass its CRC.
    if (static_cast<int64_t>(size) > cap - offset - kPicRecordOverhead) {
        KO_LOGE(kModule, "%s size is err, over read, data_size: %u, offset: %u\n", __func__, size, offset);
        return -6;
    }
    if (_seek_file(fp, offset + 9 + static_cast<int64_t>(size), SEEK_SET, cap) != 0 ||
        _read_file(fp, crc, sizeof crc, cap) != 0 || get_u32(crc) != ko_crc32_total(header, sizeof header)) {
        KO_LOGE(kModule, "%s crc fail, offset: %u\n", __func__, offset);
        return -6;
    }
    out.resize(size);
    if (_seek_file(fp, offset + 9, SEEK_SET, cap) != 0 || _read_file(fp, out.data(), size, cap) != 0) {
        KO_LOGE(kModule, "_read_data fail\n");
        return -6;
    }
    return 0;
}

int pic_data_mark_deleted(FILE *fp, int64_t cap, uint32_t offset, uint32_t time)
{
    const int64_t saved = _tell_file(fp);
    uint8_t header[9], crc[4];
    int rc = saved < 0 ? -6 : 0;
    if (rc == 0 && (_seek_file(fp, offset, SEEK_SET, cap) != 0 || _read_file(fp, header, sizeof header, cap) != 0)) {
        KO_LOGE(kModule, "_read_data fail\n");
        rc = -6;
    }
    const uint32_t size = get_u32(header + 5);
    if (rc == 0 && (get_u32(header) != time || static_cast<int64_t>(size) > cap - offset - kPicRecordOverhead)) {
        KO_LOGE(kModule, "_read_data time err. need_time:%u \n", time);
        rc = -6;
    }
    if (rc == 0) {
        header[4] = 1;
        put_u32(crc, ko_crc32_total(header, sizeof header));
        if (_seek_file(fp, offset, SEEK_SET, cap) != 0 || _write_file(fp, header, sizeof header, cap) != 0 ||
            _seek_file(fp, offset + 9 + static_cast<int64_t>(size), SEEK_SET, cap) != 0 ||
            _write_file(fp, crc, sizeof crc, cap) != 0) {
            KO_LOGE(kModule, "_write_data fail\n");
            rc = -4;
        }
    }
    if (saved >= 0 && _seek_file(fp, saved, SEEK_SET, cap) != 0) {
        KO_LOGE(kModule, "_seek_data fail\n");
        rc = rc != 0 ? rc : -4;
    }
    return rc;
}

int64_t pic_data_walk(FILE *fp, int64_t cap, void (*visit)(const PicRecordInfo &, void *), void *user)
{
    int64_t pos = kIndexHeadSize;
    uint8_t header[9], crc[4];
    while (pos + kPicRecordOverhead <= cap) {
        if (_seek_file(fp, pos, SEEK_SET, cap) != 0 || _read_file(fp, header, sizeof header, cap) != 0)
            break;
        const uint32_t time = get_u32(header), size = get_u32(header + 5);
        if (time == 0 || static_cast<int64_t>(size) > cap - pos - kPicRecordOverhead)
            break;
        if (_seek_file(fp, pos + 9 + static_cast<int64_t>(size), SEEK_SET, cap) != 0 ||
            _read_file(fp, crc, sizeof crc, cap) != 0 || get_u32(crc) != ko_crc32_total(header, sizeof header))
            break;
        visit({static_cast<uint32_t>(pos), time, size, header[4]}, user);
        pos += kPicRecordOverhead + size;
    }
    return pos;
}

} // namespace sd
