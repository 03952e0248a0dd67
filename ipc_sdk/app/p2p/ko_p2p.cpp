// The P2P service's start, its client slots and the command path to a phone.
#include "app/p2p/ko_p2p.h"

#include <memory>
#include <mutex>
#include <vector>

#include "app/p2p/ko_p2p_test.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace {

constexpr const char *kModule = "KO VASQ";

struct Slot {
    bool online = false;
    std::function<void(int, const std::string &)> sink;
};

struct Service {
    std::mutex lock;
    bool started = false;
    int alive = 0;
    ko_p2p_param param{};
    std::vector<Slot> slots;
    uint32_t last_user_op = 0;
};

Service &service()
{
    static Service *s = new Service; // the callbacks may run while the process ends
    return *s;
}

bool sdk_started()
{
    const ko_sdk_info *info = ko_ipc_get_sdk_info();
    return info && info->valid;
}

} // namespace

int ko_p2p_init(const ko_p2p_param *param)
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.started) {
        KO_LOGE(kModule, "ko p2p init already\n");
        return KO_SDK_ERR_BUSY;
    }
    if (!sdk_started() || !param || param->max_session <= 0 || !param->audio_status) {
        KO_LOGE(kModule, "ko p2p init param error (sdk started %d)\n", sdk_started() ? 1 : 0);
        return KO_SDK_ERR_PARAM;
    }
    s.param = *param;
    s.slots.assign(static_cast<size_t>(param->max_session), Slot{});
    s.alive = 0;
    s.last_user_op = 0;
    s.started = true;
    KO_LOGI(kModule, "ko p2p init, %d sessions\n", param->max_session);
    return 0;
}

int ko_p2p_deinit(void)
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.started) {
        KO_LOGE(kModule, "ko p2p init first\n");
        return -1;
    }
    s.started = false;
    s.slots.clear();
    return 0;
}

int ko_p2p_alive_enable(int enable)
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.started) {
        KO_LOGE(kModule, "ko p2p init first\n");
        return -1;
    }
    s.alive = enable;
    return 0;
}

int ko_p2p_user_cmd_send(int session, int cmd, const void *data, int length)
{
    if (!data || length <= 0) {
        KO_LOGE(kModule, "Not valid cmd arg\n");
        return -1;
    }
    Service &s = service();
    std::function<void(int, const std::string &)> sink;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.started || session < 0 || static_cast<size_t>(session) >= s.slots.size() ||
            !s.slots[static_cast<size_t>(session)].online) {
            KO_LOGE(kModule, "Not valid client id %d\n", session);
            return -1;
        }
        sink = s.slots[static_cast<size_t>(session)].sink;
    }
    if (sink)
        sink(cmd, std::string(static_cast<const char *>(data), static_cast<size_t>(length)));
    return 0;
}

int ko_p2p_get_clients_conn_info(ko_p2p_conn_info *info)
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.started) {
        KO_LOGE(kModule, "ko p2p init first\n");
        return -1;
    }
    if (!info)
        return 0;
    int online = 0;
    for (const Slot &slot : s.slots)
        online += slot.online ? 1 : 0;
    info->online = online;
    info->last_user_op = s.last_user_op;
    return 0;
}

bool ko_p2p_test_connect(int session, std::function<void(int, const std::string &)> sink)
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.started || session < 0 || static_cast<size_t>(session) >= s.slots.size())
        return false;
    s.slots[static_cast<size_t>(session)] = {true, std::move(sink)};
    return true;
}

void ko_p2p_test_disconnect(int session)
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.started && session >= 0 && static_cast<size_t>(session) < s.slots.size())
        s.slots[static_cast<size_t>(session)] = Slot{};
}

namespace {
// The stored start record, or false when not started; the callbacks run outside the lock.
bool stored(ko_p2p_param *out, bool user_op)
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.started)
        return false;
    if (user_op)
        s.last_user_op = static_cast<uint32_t>(vexa_time_get_ms() / 1000);
    *out = s.param;
    return true;
}
} // namespace

int ko_p2p_test_command(int session, int cmd, const std::string &payload)
{
    ko_p2p_param p{};
    if (!stored(&p, true) || !p.user_recv_cmd)
        return -100;
    // Exactly the payload's bytes on the heap, so that a read past them is caught.
    std::unique_ptr<char[]> bytes(new char[payload.size() ? payload.size() : 1]);
    payload.copy(bytes.get(), payload.size());
    return p.user_recv_cmd(session, cmd, bytes.get(), static_cast<int>(payload.size()));
}

bool ko_p2p_test_audio(ko_p2p_audio_frame *frame)
{
    ko_p2p_param p{};
    if (!stored(&p, false) || !p.recv_audio)
        return false;
    p.recv_audio(frame);
    return true;
}

bool ko_p2p_test_audio_status(int kind, bool on)
{
    ko_p2p_param p{};
    if (!stored(&p, false))
        return false;
    p.audio_status(kind, on);
    return true;
}

int ko_p2p_test_alive()
{
    Service &s = service();
    std::lock_guard<std::mutex> g(s.lock);
    return s.alive;
}
