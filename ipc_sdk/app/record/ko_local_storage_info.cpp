#include "ko_local_storage_info.h"

#include <stdio.h>

#include <json-c/json.h>

#include "common/utils/ko_util.h"
#include "sd_pool.h"
#include "sd_statistics.h"

namespace sd {
namespace {

constexpr const char *kStatNames[kStatCount] = {
    "mp4_succuss_file", "total_mp4_file", "total_video_frame", "total_audio_frame", "mp4_err_file",
    "mp4_err_video_frame", "mp4_err_audio_frame", "mp4_size_max", "mp4_size_min", "del_err_count",
    "sd_total_MB", "sd_used_MB", "loop_coverage", "index_tatal", "index_file_size", "index_update",
    "index_update_err", "scan_dir_count", "scan_dir_err", "index_add_err", "index_del_err", "del_not_find",
    "index_query_err", "index_scan_err", "step1", "step2", "step3", "step4", "step5"};

} // namespace

int storage_status_for(int code)
{
    switch (code) {
    case 0:
        return 0;
    case SD_ERR_INDEX_RESET:
        return 8;
    case SD_ERR_READ_ONLY:
        return 12;
    case SD_ERR_FULL:
        return 2;
    case -1108:
    case -1109:
    case -1110:
    case -1113:
    case -1115:
        return 11;
    case -1005:
        return 3;
    default:
        return 10;
    }
}

void RecordStatistics::clear()
{
    for (auto &v : values)
        v = 0;
    values[kMp4SizeMin] = -1;
}

std::string RecordStatistics::report_and_clear()
{
    // The index modules count into the storage statistics; they are taken over here.
    values[kIndexAddErr] += static_cast<int64_t>(g_statistics_storage.index_add_err.exchange(0));
    values[kIndexUpdateErr] += static_cast<int64_t>(g_statistics_storage.index_update_err.exchange(0));
    values[kIndexQueryErr] += static_cast<int64_t>(g_statistics_storage.index_query_err.exchange(0));
    values[kIndexDelErr] += static_cast<int64_t>(g_statistics_storage.index_del_err.exchange(0));
    values[kIndexScanErr] += static_cast<int64_t>(g_statistics_storage.index_scan_err.exchange(0));
    if (g_statistics_storage.loop_coverage.exchange(false))
        values[kLoopCoverage] = 1;
    std::string out = "{";
    for (int i = 0; i < kStatCount; i++) {
        char item[64];
        snprintf(item, sizeof item, "%s\"%s\":%lld", i ? "," : "", kStatNames[i],
                 static_cast<long long>(values[i].load()));
        out += item;
    }
    out += "}";
    clear();
    return out;
}

bool decode_cid(const std::string &cid, CardIdentity *out)
{
    uint8_t b[16];
    if (cid.size() != 32 || ko_str2hex_bin(cid.data(), cid.size(), b, sizeof b) != 16)
        return false;
    out->manufacturer_id = b[0];
    out->product.clear();
    for (int i = 3; i < 8; i++)
        out->product += (b[i] >= 0x20 && b[i] < 0x7F) ? static_cast<char>(b[i]) : '?';
    out->revision_major = b[8] >> 4;
    out->revision_minor = b[8] & 0x0F;
    out->serial = static_cast<uint32_t>(b[9]) << 24 | static_cast<uint32_t>(b[10]) << 16 |
                  static_cast<uint32_t>(b[11]) << 8 | b[12];
    out->year = ((b[13] & 0x0F) << 4) | (b[14] >> 4);
    out->month = b[14] & 0x0F;
    return true;
}

std::string sd_info_json(const std::string &cid, const std::string &file_sys, int64_t total_mb)
{
    CardIdentity id{};
    if (!decode_cid(cid, &id))
        return "";
    char text[32];
    json_object *o = json_object_new_object();
    json_object_object_add(o, "manufacturer", json_object_new_string(sd_get_maker_name(id.manufacturer_id)));
    json_object_object_add(o, "manufacturer_id", json_object_new_int(id.manufacturer_id));
    json_object_object_add(o, "storage", json_object_new_string(id.product.c_str()));
    snprintf(text, sizeof text, "%d.%d", id.revision_major, id.revision_minor);
    json_object_object_add(o, "class", json_object_new_string(text));
    snprintf(text, sizeof text, "0x%08x", id.serial);
    json_object_object_add(o, "serial", json_object_new_string(text));
    snprintf(text, sizeof text, "%d.%d", 2000 + id.year, id.month);
    json_object_object_add(o, "date", json_object_new_string(text));
    json_object_object_add(o, "write_speed", json_object_new_string("0.00"));
    json_object_object_add(o, "cid", json_object_new_string(cid.c_str()));
    json_object_object_add(o, "file_sys", json_object_new_string(file_sys.c_str()));
    json_object_object_add(o, "sd_total_MB", json_object_new_int64(total_mb));
    std::string out = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
    json_object_put(o);
    return out;
}

} // namespace sd
