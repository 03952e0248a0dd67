// Names carry 64-bit times: where time_t is 32 bits (armhf), times past 2038 are converted with our
// own calendar arithmetic at the current UTC offset, so such files still read back with their real
// end and are reused in turn.
#include "sd_names.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/utils/ko_log.h"

namespace sd {

namespace {

constexpr const char *kModule = "sd_pool";
constexpr size_t kMaxName = 128;

const KindInfo kKinds[] = {
    {"zreserved", 0, ".bin"}, {"video", 10, ".mp4"},      {"pic", 10, ".bin"},       {"videoi", 100, ".index"},
    {"pici", 100, ".index"},  {"event", 100, ".index"},   {"yvideo", 20, ".video"}, {"yvideoi", 100, ".index"},
};

int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t *y, int *m, int *d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2);
}

bool fits_time_t(uint64_t v)
{
    return sizeof(time_t) >= 8 ? v <= static_cast<uint64_t>(INT64_MAX) : v <= static_cast<uint64_t>(INT32_MAX);
}

long current_utc_offset()
{
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

} // namespace

const KindInfo &kind_info(int kind)
{
    return kind >= 0 && kind < static_cast<int>(sizeof kKinds / sizeof kKinds[0]) ? kKinds[kind] : kKinds[0];
}

bool is_index_kind(int kind)
{
    return kind == SD_KIND_VIDEOI || kind == SD_KIND_PICI || kind == SD_KIND_EVENT || kind == SD_KIND_YVIDEOI;
}

bool is_data_kind(int kind) { return kind == SD_KIND_VIDEO || kind == SD_KIND_PIC || kind == SD_KIND_YVIDEO; }

void format_time(uint64_t seconds, char out[15])
{
    struct tm tm {};
    if (seconds == SD_TIME_OPEN || fits_time_t(seconds)) {
        const time_t t = seconds == SD_TIME_OPEN ? static_cast<time_t>(-1) : static_cast<time_t>(seconds);
        localtime_r(&t, &tm);
        strftime(out, 15, "%Y%m%d%H%M%S", &tm);
        return;
    }
    const int64_t local = static_cast<int64_t>(seconds) + current_utc_offset();
    int64_t y;
    int m, d;
    civil_from_days(local / 86400, &y, &m, &d);
    const int64_t sod = local % 86400;
    char text[48];
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", static_cast<int>(y % 10000), m, d,
             static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60));
    memcpy(out, text, 14);
    out[14] = 0;
}

bool parse_time(const char *text, uint64_t *seconds)
{
    if (strlen(text) < 14)
        return false;
    int y, mo, d, h, mi, s;
    if (sscanf(text, "%04d%02d%02d%02d%02d%02d", &y, &mo, &d, &h, &mi, &s) != 6)
        return false;
    if (sizeof(time_t) < 8 && y >= 2038) {
        const int64_t local = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
        *seconds = static_cast<uint64_t>(local - current_utc_offset());
        return true;
    }
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    const time_t t = mktime(&tm);
    *seconds = t == static_cast<time_t>(-1) ? SD_TIME_OPEN : static_cast<uint64_t>(t);
    return true;
}

bool build_name(const sd_file_info_t &f, char *out, size_t size)
{
    char start[15], end[15];
    format_time(f.start, start);
    format_time(f.end, end);
    const int n = snprintf(out, size, "%s_%04d_%d_%d_%s_%s%s", kind_info(f.kind).name, f.number, f.channel, f.priority,
                           start, end, f.ext);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool parse_name(const char *name, sd_file_info_t *out)
{
    const size_t len = strlen(name);
    if (len >= kMaxName) {
        KO_LOGE(kModule, "path size(%d) > %d \n", static_cast<int>(len), static_cast<int>(kMaxName));
        return false;
    }
    char copy[kMaxName];
    memcpy(copy, name, len + 1);
    const char *tokens[8];
    int count = 0;
    for (char *p = copy, *token = copy;; p++) {
        if (*p == '_' || *p == '.' || *p == 0) {
            const bool last = *p == 0;
            *p = 0;
            if (count == 8)
                return false;
            tokens[count++] = token;
            token = p + 1;
            if (last)
                break;
        }
    }
    if (count != 7)
        return false;
    int kind = SD_KIND_FREE;
    for (int k = 0; k < 8; k++)
        if (strcmp(tokens[0], kKinds[k].name) == 0)
            kind = k;
    char *end = nullptr;
    const long number = strtol(tokens[1], &end, 10);
    if (*end || end == tokens[1])
        return false;
    const long channel = strtol(tokens[2], &end, 10);
    if (*end || end == tokens[2])
        return false;
    const long priority = strtol(tokens[3], &end, 10);
    if (*end || end == tokens[3])
        return false;
    uint64_t start = 0, stop = 0;
    if (!parse_time(tokens[4], &start) || !parse_time(tokens[5], &stop)) {
        KO_LOGE(kModule, "%s path is invalid\n", name);
        return false;
    }
    if (strlen(tokens[6]) + 2 > sizeof out->ext)
        return false;
    out->kind = kind;
    out->number = static_cast<int32_t>(number);
    out->channel = static_cast<int32_t>(channel);
    out->priority = static_cast<int32_t>(priority);
    out->start = start;
    out->end = stop;
    snprintf(out->ext, sizeof out->ext, ".%s", tokens[6]);
    memcpy(out->path, name, len + 1);
    return true;
}

} // namespace sd
