// The cloud alarm record as the settings hold it, for the handlers that change one of its fields.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/cloud/ko_cloud.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"

namespace {

constexpr uint16_t kRecordSeconds = 9;

// "08:00" is stored as the phone sent it: the fields it lacks count 0.
void read_hms(const char *key, int32_t *h, int32_t *m, int32_t *s)
{
    std::string value;
    int hh = 0, mm = 0, ss = 0;
    if (zel_rpc::db_read(key, value, 32) && std::sscanf(value.c_str(), "%d:%d:%d", &hh, &mm, &ss) >= 1)
        *h = hh, *m = mm, *s = ss;
}

} // namespace

int get_current_alarm_config(cloud_alarm_config_t *cfg)
{
    if (!cfg)
        return -1;
    cfg->record_seconds = kRecordSeconds;
    std::string value;
    if (zel_rpc::db_read("NVM.CLOUD:detect_swtich", value, 32))
        cfg->schedule_on = std::atoi(value.c_str()) != 0 ? 1 : 0;
    if (zel_rpc::db_read("NVM.CLOUD:interval", value, 32))
        cfg->interval = std::atoi(value.c_str());
    read_hms("NVM.CLOUD:detect_start_time", &cfg->start_hour, &cfg->start_minute, &cfg->start_second);
    read_hms("NVM.CLOUD:detect_end_time", &cfg->end_hour, &cfg->end_minute, &cfg->end_second);
    return 0;
}
