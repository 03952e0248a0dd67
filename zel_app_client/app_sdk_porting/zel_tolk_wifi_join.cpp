// The Wi-Fi join: the request's mode decides what is stored for the network-setup side and how the
// one attempt is made; the attempt itself goes to the camera application (normal mode) or to the
// Wi-Fi start script (hidden network, master mode).
#include "app_sdk_porting/zel_tolk_wifi.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "app_sdk_porting/sdk_porting.h"
#include "zelmar/zel_shell.h"
#include "app_sdk_porting/zel_tolk_wifi_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_system.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk_wifi";
constexpr const char *kMasked = "******";
constexpr int kMaxPolls = 240;
constexpr int kShortPasswordPauseMs = 10000;
constexpr int kFailurePauseMs = 300;
// What the Wi-Fi start script prints last and writes into its connect-result file.
constexpr const char *kScript = "/mnt/data/bin/wifi_start.sh";
constexpr const char *kScriptOutput = "/tmp/wifi_start_result";
constexpr const char *kConnectResult = "/tmp/wifi_connect_result";
constexpr const char *kSuccessWord = "STA_CONNECTED"; // 13 characters
constexpr size_t kResultBytes = 64;

enum { kStatePending = 0, kStateJoined = 1, kStateFailed = 2 };

std::atomic<int> g_poll_ms{500};
pthread_mutex_t wifi_connect_pthread_lock = PTHREAD_MUTEX_INITIALIZER;

const char *masked(const char *passwd)
{
    return passwd && passwd[0] ? kMasked : "";
}

bool present(const char *text)
{
    return text && text[0];
}

void set_text(const char *key, const char *value, bool save)
{
    if (zel_api_db_set_value(key, value, static_cast<int>(strlen(value)), save ? 1 : 0) != 0)
        ZEL_LOGE(TAG, "set %s failed", key);
}

void set_hidden_marker(const char *value)
{
    set_text("MEM.connect_hidden_ssid", value, false);
}

int poll_join(device_sdk_info_t *device, const char *ssid, const char *passwd)
{
    sdk_porting_push_ssid_passwd(ssid, passwd, 0, 0);
    for (int polls = 0;; ++polls) {
        usleep(static_cast<useconds_t>(g_poll_ms.load()) * 1000);
        const int state = __atomic_load_n(&device->wifi_connect_state, __ATOMIC_ACQUIRE);
        ZEL_LOGI(TAG, " timeout_count:%d curr_state:%d ", polls, state);
        if (state == kStateJoined) {
            ZEL_LOGI(TAG, " wifi connect succ  ");
            return 0;
        }
        if (state == kStateFailed) {
            const size_t len = strlen(passwd);
            __atomic_store_n(&device->wifi_connect_state, kStatePending, __ATOMIC_RELEASE);
            if (len >= 1 && len <= 7) {
                ZEL_LOGE(TAG, " wifi connect failed ,not support passwd  ");
                usleep(kShortPasswordPauseMs * 1000);
            } else {
                ZEL_LOGE(TAG, " wifi connect failed  ");
                usleep(kFailurePauseMs * 1000);
            }
            return -1;
        }
        if (polls >= kMaxPolls) {
            ZEL_LOGE(TAG, " wifi connect timeout  ");
            return -1;
        }
    }
}

// Runs the script in `model` and reads what it left in its connect-result file.
int script_join(const char *model, const char *tag, const char *success_log)
{
    const std::string command = zel_shell_path(kScript) + " " + model + " | tail -n 1 > " +
                                zel_shell_path(kScriptOutput);
    ZEL_LOGI(TAG, "%s wifi_start %s", tag, model);
    run_cmd(command.c_str(), nullptr, 0);
    const std::string result_path = zel_path(kConnectResult);
    FILE *file = fopen(result_path.c_str(), "r");
    if (!file) {
        ZEL_LOGE(TAG, "%s open %s failed", tag, kConnectResult);
        return -1;
    }
    char result[kResultBytes + 1] = {};
    const size_t got = fread(result, 1, kResultBytes, file);
    fclose(file);
    result[got] = '\0';
    ZEL_LOGI(TAG, "%s wifi_start result: %s", tag, result);
    remove(result_path.c_str());
    if (strncmp(result, kSuccessWord, strlen(kSuccessWord)) != 0)
        return -1;
    ZEL_LOGI(TAG, "%s", success_log);
    return 0;
}

int join_normal(const ko_wifi_connect_info *r, zel_tolk_info_t *info)
{
    if (!r->ssid || !r->passwd || !r->tz) {
        ZEL_LOGE(TAG, "[STA] sta mode invalid value ");
        return -1;
    }
    ZEL_LOGI(TAG, " [STA]--->> start to connect STA wifi [%s %s] ", r->ssid, masked(r->passwd));
    if (info && __atomic_load_n(&info->bind_ok, __ATOMIC_ACQUIRE)) {
        set_text("MEM.tmp_ssid", r->ssid, true);
        set_text("MEM.tmp_passwd", r->passwd, true);
        set_hidden_marker("1");
        const int ret = zel_tolk_set_wifi_connect_sync(KO_WIFI_MODE_MASTER, r->ssid, r->passwd);
        set_hidden_marker("0");
        if (ret != 0) {
            ZEL_LOGE(TAG, "[STA] zel_tolk_set_wifi_connect_sync fail ret:%d idx:%d ", ret, 0);
            return -1;
        }
        ZEL_LOGI(TAG, " [STA]=======> conn wifi success ");
        return 0;
    }
    set_hidden_marker("0");
    set_text("NVM.BIND:timezone", r->tz, true);
    if (present(r->country_domain))
        ZEL_LOGI(TAG, " [STA]=======> conn wifi region:%s cloud_type is 1 ", r->country_domain);
    else
        ZEL_LOGI(TAG, " [STA]=======> conn wifi cloud_type is 0");
    const int ret = zel_tolk_set_wifi_connect_sync(KO_WIFI_MODE_NORMAL, r->ssid, r->passwd);
    if (ret != 0) {
        ZEL_LOGE(TAG, " [STA]zel_tolk_set_wifi_connect_sync fail ret:%d ", ret);
        return -1;
    }
    return 0;
}

int join_hidden(const ko_wifi_connect_info *r)
{
    if (!present(r->ssid) || !present(r->bssid)) {
        ZEL_LOGE(TAG, "[HIDE]  =======hid wifi ssid or bssid is null ");
        return -1;
    }
    ZEL_LOGI(TAG, "[HIDE]  =======> ssid:%s  bssid:%s ", r->ssid, r->bssid);
    set_text("MEM.tmp_ssid", r->ssid, false);
    set_text("MEM.tmp_bssid", r->bssid, false);
    set_hidden_marker("1");
    const int ret = zel_tolk_set_wifi_connect_sync(KO_WIFI_MODE_HIDDEN, r->ssid, r->bssid);
    if (ret != 0) {
        ZEL_LOGE(TAG, "[HIDE]  zel_tolk_set_wifi_connect_sync fail ret:%d idx:%d ", ret, 0);
        return -1;
    }
    ZEL_LOGI(TAG, "[HIDE]  =======> conn hid wifi success ");
    return 0;
}

int join_master(const ko_wifi_connect_info *r)
{
    const char *ssid = r->ssid;
    const char *passwd = r->passwd;
    if (present(ssid) && present(passwd)) {
        set_text("MEM.tmp_ssid", ssid, true);
        set_text("MEM.tmp_passwd", passwd, true);
        ZEL_LOGI(TAG, " [MASTER]=======> ssid:%s  passwd:%s ", ssid, masked(passwd));
    } else {
        zel_api_db_unset_value("MEM.tmp_ssid", 1);
        zel_api_db_unset_value("MEM.tmp_passwd", 1);
        zel_api_db_sync();
        sleep(1);
        set_text("MEM.tmp_ssid", "", false);
        set_text("MEM.tmp_passwd", "", false);
        ssid = passwd = "";
        ZEL_LOGW(TAG, "[MASTER] %s():connect master ssid&passwd invalid value,will use old db instead",
                 "zel_tolk_wifi_connect_start");
    }
    ZEL_LOGI(TAG, " [MASTER]=======> ssid:%s  passwd:%s ", ssid, masked(passwd));
    set_hidden_marker("1");
    const int ret = zel_tolk_set_wifi_connect_sync(KO_WIFI_MODE_MASTER, ssid, passwd);
    set_hidden_marker("0");
    if (ret != 0) {
        ZEL_LOGE(TAG, " [MASTER]zel_tolk_set_wifi_connect_sync fail ret:%d idx:%d ", ret, 0);
        return -1;
    }
    ZEL_LOGI(TAG, "[MASTER]  =======> conn master wifi success ");
    return 0;
}

} // namespace

int zel_tolk_set_wifi_connect_sync(int mode, const char *ssid, const char *passwd)
{
    if (!ssid || !passwd) {
        ZEL_LOGE(TAG, "ssid or passwd null ");
        return -1;
    }
    device_sdk_info_t *device = get_device_info_pointer();
    if (!device)
        return -1;
    __atomic_store_n(&device->wifi_connect_state, kStatePending, __ATOMIC_RELEASE);
    if (mode == KO_WIFI_MODE_NORMAL)
        return poll_join(device, ssid, passwd);
    if (mode == KO_WIFI_MODE_HIDDEN)
        return script_join("ENTER_HIDDEN_MODEL", "[HIDE]", "[HIDE] wifi_start conn guide wifi succ");
    return script_join("ENTER_MASTER_MODEL", "[STA/MASTER]", "[STA/MASTER] wifi_start conn work wifi succ");
}

int zel_tolk_wifi_connect_start(const ko_wifi_connect_info *request)
{
    if (!request) {
        ZEL_LOGE(TAG, " wifi_param is null ");
        return -1;
    }
    if (!get_device_info_pointer()) {
        ZEL_LOGE(TAG, "struct dev info is NULL ");
        return -1;
    }
    pthread_mutex_lock(&wifi_connect_pthread_lock);
    ZEL_LOGI(TAG, " wifi connect start , pthread[%d],wifi_mode[%d]", static_cast<int>(gettid()), request->mode);
    int ret = 0;
    switch (request->mode) {
    case KO_WIFI_MODE_NORMAL:
        ret = join_normal(request, get_zel_tolk_info_pointer());
        break;
    case KO_WIFI_MODE_HIDDEN:
        ret = join_hidden(request);
        break;
    case KO_WIFI_MODE_MASTER:
        ret = join_master(request);
        break;
    default:
        break;
    }
    pthread_mutex_unlock(&wifi_connect_pthread_lock);
    return ret;
}

void zel_tolk_wifi_test_set_poll_ms(int ms)
{
    g_poll_ms = ms > 0 ? ms : 1;
}
