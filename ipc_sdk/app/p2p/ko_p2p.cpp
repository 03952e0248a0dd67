// The P2P service's start and stop, its retry thread that keeps the streaming server up, and the
// calls of the app client on its client slots.
#include "app/p2p/ko_p2p.h"

#include <string.h>
#include <unistd.h>

#include "app/p2p/ko_p2p_internal.h"
#include "app/record/ko_playback.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_thread.h"
#include "common/utils/ko_time.h"
#include "vasq_log.h"

namespace ko_p2p {

namespace {

const session_ops kVasqOps = {vasq_video_send, vasq_cmd_send, vasq_session_query, vasq_server_session_close,
                              vasq_statistics_set, vasq_rdt_send};

struct service_threads {
    ko_thread *retry = nullptr, *video = nullptr, *audio = nullptr;
    vasq_device_info device{};
    vasq_server_config config{};
    char did[64] = {0}, model[64] = {0};
};
service_threads g_threads;

// Sleeps up to `ms` while the service runs.
void nap_while_running(int ms)
{
    for (int waited = 0; waited < ms && g_vasq_ctrl.running.load(); waited += 100)
        usleep(100 * 1000);
}

// The daemon's answer may fill the device id at any time, under the record's mutex.
void copy_did(ko_sdk_info &info)
{
    pthread_mutex_lock(&info.mutex);
    strncpy(g_threads.did, info.device_id, sizeof g_threads.did - 1);
    pthread_mutex_unlock(&info.mutex);
}

void try_server_init()
{
    vasq_ctrl &v = g_vasq_ctrl;
    ko_sdk_info *info = ko_ipc_get_sdk_info();
    if (!info)
        return;
    copy_did(*info);
    g_threads.config.token = info->token;
    g_threads.config.token_len = info->token_len;
    KO_LOGI(KO_P2P_MODULE, "vasq server try init : did is %s , token len is %d\n", g_threads.did, info->token_len);
    std::lock_guard<std::mutex> g(v.server_mutex);
    v.init_step = 6;
    const int rc = vasq_server_init(&g_threads.device, &g_threads.config);
    v.init_step = 7;
    if (rc == 0) {
        v.server_ready = true;
        KO_LOGI(KO_P2P_MODULE, "vasq server init ok!\n");
    } else {
        KO_LOGE(KO_P2P_MODULE, "vasq server init fail, ret %d\n", rc);
    }
}

void *retry_thread(void *)
{
    vasq_ctrl &v = g_vasq_ctrl;
    while (v.running.load()) {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 0);
        if (!v.server_ready.load())
            try_server_init();
        if (v.restart.exchange(false)) {
            std::lock_guard<std::mutex> g(v.server_mutex);
            v.init_step = 8;
            vasq_server_finish();
            v.server_ready = false;
            v.init_step = 9;
            continue; // initialise again at once
        }
        rpc_timeout_check();
        nap_while_running(5000);
    }
    KO_LOGI(KO_P2P_MODULE, "vasq retry task exit!\n");
    v.init_step = 10;
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

ko_thread *start_thread(const char *name, uint32_t stack, ko_thread_entry entry)
{
    ko_thread_attr attr{};
    attr.stack_size = stack;
    strncpy(attr.name, name, sizeof attr.name - 1);
    return ko_thread_run(&attr, entry, nullptr);
}

void build_server_config(const ko_p2p_param &p, ko_sdk_info &info)
{
    copy_did(info);
    strncpy(g_threads.model, info.param.model, sizeof g_threads.model - 1);
    g_threads.device = {"device", g_threads.did, g_threads.model};
    vasq_server_config &c = g_threads.config;
    c = {};
    c.max_sessions = p.max_session;
    c.token = info.token;
    c.token_len = info.token_len;
    c.send_video_size = p.send_video_buf;
    c.send_audio_size = p.send_audio_buf;
    c.recv_video_size = p.recv_video_buf;
    c.recv_audio_size = p.recv_audio_buf;
    c.encrypt_type = p.encrypt_type;
    c.ignore_uuid = p.option;
    c.init_mode = 0;
}

// Ends what a start built, also after a start that failed half-way, so that a later start can succeed.
void stop_service()
{
    vasq_ctrl &v = g_vasq_ctrl;
    {
        // The retry thread takes the server mutex: it is released before the thread is joined.
        std::lock_guard<std::mutex> g(v.server_mutex);
        vasq_server_finish();
        v.server_ready = false;
        v.running = false;
    }
    wake_senders();
    for (ko_thread **t : {&g_threads.video, &g_threads.audio, &g_threads.retry}) {
        ko_thread_destory(*t);
        *t = nullptr;
        v.deinit_step = v.deinit_step + 1;
    }
    rpc_deinit();
    ko_playback_deinit();
    delete[] v.slots;
    v.slots = nullptr;
    v.max_sessions = 0;
    v.restart = false;
}

int failed_start(const char *why)
{
    KO_LOGE(KO_P2P_MODULE, "%s", why);
    stop_service();
    return -1;
}

bool valid_slot(int index)
{
    return index >= 0 && index < g_vasq_ctrl.max_sessions;
}

} // namespace

std::atomic<const session_ops *> g_session_ops{&kVasqOps};
vasq_ctrl g_vasq_ctrl;

int online_count()
{
    int n = 0;
    for (int i = 0; i < g_vasq_ctrl.max_sessions; i++)
        n += g_vasq_ctrl.slots[i].online.load() ? 1 : 0;
    return n;
}

p2p_client *slot_of(vasq_session *s)
{
    for (int i = 0; i < g_vasq_ctrl.max_sessions; i++) {
        p2p_client &c = g_vasq_ctrl.slots[i];
        if (c.online.load() && c.session == s)
            return &c;
    }
    KO_LOGE(KO_P2P_MODULE, "don't find match session idx\n");
    return nullptr;
}

} // namespace ko_p2p

using namespace ko_p2p;

int ko_p2p_init(const ko_p2p_param *param)
{
    vasq_ctrl &v = g_vasq_ctrl;
    if (v.inited.load()) {
        KO_LOGE(KO_P2P_MODULE, "ko p2p init already\n");
        return -9;
    }
    ko_sdk_info *info = ko_ipc_get_sdk_info();
    if (!info || !info->valid) {
        KO_LOGE(KO_P2P_MODULE, "please call ko_ipc_sdk_init first ..\n");
        return -1;
    }
    if (!param || param->max_session <= 0 || !param->audio_status) {
        KO_LOGE(KO_P2P_MODULE, "vasq init param error! ret %d!\n", -5);
        return -5;
    }
    v.max_sessions = param->max_session;
    v.param = *param;
    v.slots = new p2p_client[static_cast<size_t>(param->max_session)];
    for (int i = 0; i < v.max_sessions; i++) {
        v.slots[i].index = i;
        v.slots[i].reader = i + 2;
    }
    v.last_disconnect_s = 0;
    if (rpc_init() != 0 || ko_playback_init(free_all_play_back) != 0)
        return failed_start("vasq : rpc register error\n");
    v.init_step = 2;
    v.running = true;
    const int version = vasq_session_query(nullptr, 0, nullptr);
    KO_LOGI(KO_P2P_MODULE, "vasq version is %d.%d.%d\n", (version >> 16) & 0xff, (version >> 8) & 0xff,
            version & 0xff);
    vasq_log_set_level(2);
    v.alive = true;
    build_server_config(*param, *info);
    KO_LOGI(KO_P2P_MODULE, "max_session_num %d,did: %s\n", param->max_session, g_threads.did);
    if (!(g_threads.retry = start_thread("p2p_retry", 0x40000, retry_thread)))
        return failed_start("create vasq connect porcess thread fail!\n");
    v.init_step = 3;
    g_threads.video = start_thread("p2p_v", 0x100000, video_thread);
    v.init_step = 4;
    g_threads.audio = g_threads.video ? start_thread("p2p_a", 0x80000, audio_thread) : nullptr;
    if (!g_threads.audio)
        return failed_start("create  fetch main video stream thread fail!\n");
    v.inited = true;
    v.init_step = 5;
    KO_LOGI(KO_P2P_MODULE, "p2p module init ok !\n");
    return 0;
}

int ko_p2p_deinit(void)
{
    vasq_ctrl &v = g_vasq_ctrl;
    if (!v.inited.load()) {
        KO_LOGE(KO_P2P_MODULE, "ko p2p init first\n");
        return -1;
    }
    v.deinit_step = 1;
    stop_service();
    v.inited = false;
    v.deinit_step = 7;
    KO_LOGI(KO_P2P_MODULE, "p2p : deinit ok!\n");
    return 0;
}

int ko_p2p_alive_enable(int enable)
{
    vasq_ctrl &v = g_vasq_ctrl;
    if (!v.inited.load()) {
        KO_LOGE(KO_P2P_MODULE, "ko p2p init first\n");
        return -1;
    }
    std::lock_guard<std::mutex> g(v.alive_mutex);
    v.alive = enable != 0;
    KO_LOGI(KO_P2P_MODULE, "p2p alive set enable : %d \n", enable);
    return 0;
}

int ko_p2p_get_clients_conn_info(ko_p2p_conn_info *info)
{
    vasq_ctrl &v = g_vasq_ctrl;
    if (!v.inited.load()) {
        KO_LOGE(KO_P2P_MODULE, "ko p2p init first\n");
        return -1;
    }
    if (!info)
        return 0;
    info->online = online_count();
    std::lock_guard<std::mutex> g(v.alive_mutex);
    info->last_user_op = v.last_disconnect_s;
    return 0;
}

int ko_p2p_user_cmd_send(int session, int cmd, const void *data, int length)
{
    vasq_ctrl &v = g_vasq_ctrl;
    if (!data || length <= 0) {
        KO_LOGE(KO_P2P_MODULE, "Not valid cmd arg\n");
        return -1;
    }
    if (!v.inited.load() || !valid_slot(session)) {
        KO_LOGE(KO_P2P_MODULE, "Not valid client id %d\n", session);
        return -1;
    }
    p2p_client &c = v.slots[session];
    // Under the slot's lock the session cannot be closed while the command goes out.
    std::shared_lock<std::shared_mutex> g(c.lock);
    if (!c.online.load() || !c.session) {
        KO_LOGE(KO_P2P_MODULE, "Not valid client id %d\n", session);
        return -1;
    }
    const int rc = ops().cmd_send(c.session, cmd, data, length);
    if (rc != 0) {
        KO_LOGE(KO_P2P_MODULE, "vasq_cmd_send error, ret: %d\n", rc);
        return -1;
    }
    return 0;
}
