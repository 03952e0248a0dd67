// The error table of the upload thread.
#include "app/cloud/cloud_error.h"

#include <algorithm>
#include <initializer_list>

#include "app/cloud/cloud_http.h"
#include "app/cloud/cloud_types.h"
#include "common/utils/ko_log.h"

namespace {

constexpr int kTimeout = 28; // curl's transfer time-out

bool one_of(int code, std::initializer_list<int> codes)
{
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool in_range(int code, int low, int high)
{
    return code >= low && code <= high;
}

} // namespace

cloud_error_step cloud_error_map(int code, int state, int resume, bool connected, int timeouts)
{
    cloud_error_step s{7, CLOUD_RESUME_NONE, false, false, false, false, 0};
    if (!connected) {
        s.next = 0;
        return s;
    }
    if (code == kTimeout) {
        s.timeouts = timeouts + 1;
        s.drop = true;
        if (s.timeouts == 1) {
            s.next = state;
            s.resume = resume;
        } else {
            s.next = 0;
        }
    } else if (code == CLOUD_HTTP_UNAUTHORIZED || one_of(code, {401, 401100, 401101, 401105, 501100})) {
        s.next = 1;
        s.resume = std::min(state, 7);
    } else if (one_of(code, {500, 501}) || in_range(code, 500100, 500102) || in_range(code, 501101, 501107)) {
        s.next = 14;
        s.resume = 7;
    } else if (one_of(code, {400203, 400204, 400220})) {
        s.next = 8;
        s.reset_file_id = true;
    } else if (code == 400208) {
        s.next = 6;
        s.resume = 7;
    } else if (code == 400221) {
        s.next = 5;
        s.resume = 7;
    } else if (code == 400219) {
        s.expire = true;
        s.delete_all = true;
        s.drop = true;
    } else if (one_of(code, {400, 400201, 400205, 400206, 400217, 401102})) {
        s.drop = true;
    } else {
        KO_LOGE(CLOUD_MODULE, "cloud unknow errocde %d\n", code);
        s.next = 14;
        s.resume = 1;
        s.drop = true;
    }
    // A dropped clip cannot be sent again: its states give way to the idle test, which takes the next.
    if (s.drop && (state == 10 || state == 12) && s.next == state) {
        s.next = 7;
        s.resume = CLOUD_RESUME_NONE;
    }
    return s;
}
