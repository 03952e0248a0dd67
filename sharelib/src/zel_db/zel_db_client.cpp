// The settings socket client: the key map, get and set over the socket with complete reads, and the
// local read of the settings files (into the private copy "/var/run/.client.ini") when the server
// is down.
#include "zel_db/zel_db_client.h"

#include "zel_control/aes/zel_aes.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_db/zel_db_factory.h"
#include "zel_db/zel_db_files.h"
#include "zel_db/zel_db_iniparser.h"
#include "zel_db/zel_db_server.h"
#include "zel_db/zel_db_store.h"
#include "zel_db/zel_db_wire.h"
#include "zelmar/zel_path.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

const zel_dbc_map_t zel_dbc_map[] = {
    {"ux_serial_number", "ROM", "default"}, {"cmei", "ROM", "default"}, {"eth0_mac", "ROM", "default"},
    {"mac", "ROM", "default"}, {"app_key", "ROM", "default"}, {"app_secret", "ROM", "default"},
    {"andlink_id", "ROM", "default"}, {"product_token", "ROM", "default"}, {"andlink_token", "ROM", "default"},
    {"auth_mode", "ROM", "default"}, {"ux_key", "ROM", "default"}, {"manu_date", "ROM", "default"},
    {"dev_name", "ROM", "default"},
    {"ims_version", "NVM", "IPC"}, {"gb_serial_number", "NVM", "IPC"}, {"gb_passwd", "NVM", "IPC"},
    {"gb_server_ip", "NVM", "IPC"}, {"gb_server_domain", "NVM", "IPC"}, {"gb_server_id", "NVM", "IPC"},
    {"gb_server_port", "NVM", "IPC"}, {"gb_local_port", "NVM", "IPC"}, {"gb_heartbeat_interval", "NVM", "IPC"},
    {"gb_heartbeat_timeout_cnt", "NVM", "IPC"}, {"gb_expiration", "NVM", "IPC"},
    {"gb_transport_mode", "NVM", "IPC"}, {"gb_model", "NVM", "IPC"},
    {"gb_web_logout", "MEM", "IPC"}, {"gb_online", "MEM", "IPC"},
    {"hot_config", "NVM", "IPC"},
    {"eth0_status", "RAM", "default"},
    {"ntp_enable", "NVM", "IPC"}, {"static_ip", "NVM", "IPC"}, {"static_mask", "NVM", "IPC"},
    {"static_gw", "NVM", "IPC"}, {"static_dns1", "NVM", "IPC"}, {"network_type", "NVM", "IPC"},
    {"rtsp_port", "NVM", "IPC"}, {"static_dns2", "NVM", "IPC"}, {"motion_switch", "NVM", "IPC"},
    {"people_switch", "NVM", "IPC"}, {"lsd_switch", "NVM", "IPC"},
    {"web_stream_type", "MEM", "IPC"},
    {"flip", "NVM", "VIDEO"},
    {"gb_username", "NVM", "IPC"},
    {"provinceid", "ROM", "default"},
    {"gb_video_id", "NVM", "IPC"},
    {"gb_username", "ROM", "default"}, {"gb_serial_number", "ROM", "default"}, {"gb_passwd", "ROM", "default"},
    {"gb_server_ip", "ROM", "default"}, {"gb_server_domain", "ROM", "default"}, {"gb_server_id", "ROM", "default"},
    {"gb_server_port", "ROM", "default"}, {"gb_local_port", "ROM", "default"},
    {"gb_heartbeat_interval", "ROM", "default"}, {"gb_heartbeat_timeout_cnt", "ROM", "default"},
    {"gb_expiration", "ROM", "default"}, {"gb_transport_mode", "ROM", "default"}, {"gb_model", "ROM", "default"},
    {"ctei_tui", "ROM", "default"}, {"gb_video_id", "ROM", "default"},
    {"power", "NVM", "IPC"}, {"onvif_server_port", "NVM", "IPC"},
};

const int zel_dbc_map_num = static_cast<int>(sizeof zel_dbc_map / sizeof zel_dbc_map[0]);
static_assert(sizeof zel_dbc_map / sizeof zel_dbc_map[0] == 63, "the client key map has 63 rows");

namespace {

constexpr const char *TAG = "ZEL_DB_CLI";
constexpr int IO_TIMEOUT_S = 5;
constexpr size_t MAX_SET_VALUE = ZEL_DB_MSG_MAX - ZEL_DB_MSG_VALUE - 1;

const zel_dbc_map_t *find_row(const char *key, bool match_store)
{
    for (int i = 0; i < zel_dbc_map_num; ++i) {
        const zel_dbc_map_t &row = zel_dbc_map[i];
        if (std::strstr(key, row.key) && (!match_store || std::strstr(key, row.store)))
            return &row;
    }
    return nullptr;
}

zel_db_request_t request_for(uint32_t op, const zel_dbc_map_t &row)
{
    zel_db_request_t req;
    req.op = op;
    req.store = row.store;
    req.section = row.section;
    req.key = row.key;
    return req;
}

// Receives exactly `size` bytes: 1, 0 when the server closed first, -1 on error or time-out.
int recv_full(int fd, void *buf, size_t size)
{
    auto *p = static_cast<char *>(buf);
    while (size > 0) {
        const ssize_t n = recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? 0 : -1;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 1;
}

// Sends the request and reads the reply completely; the first `keep - 1` body bytes go into `dst`,
// terminated. 0, or -1.
int exchange(ipc_client_t &client, const std::vector<uint8_t> &request, char *dst, int keep, uint32_t *type,
             uint32_t *length)
{
    if (ipc_client_send(&client, request.data(), static_cast<int>(request.size())) != static_cast<int>(request.size())) {
        ZEL_LOGE(TAG, "send failed: %s\n", std::strerror(errno));
        return -1;
    }
    uint8_t head[ZEL_DB_REPLY_HEAD];
    const int got = recv_full(client.fd, head, sizeof head);
    if (got <= 0) {
        if (got < 0)
            ZEL_LOGE(TAG, "error on recv \n");
        else
            ZEL_LOGE(TAG, "Server closed connection");
        return -1;
    }
    zel_db_reply_head_get(head, type, length);
    size_t copied = 0;
    char chunk[1024];
    for (size_t left = *length; left > 0;) {
        const size_t take = std::min(left, sizeof chunk);
        if (recv_full(client.fd, chunk, take) <= 0) {
            ZEL_LOGE(TAG, "error on recv \n");
            return -1;
        }
        if (dst && keep > 0 && copied < static_cast<size_t>(keep - 1)) {
            const size_t n = std::min(take, static_cast<size_t>(keep - 1) - copied);
            std::memcpy(dst + copied, chunk, n);
            copied += n;
        }
        left -= take;
    }
    if (dst && keep > 0 && *length > 0)
        dst[copied] = '\0';
    return 0;
}

struct Connection {
    ipc_client_t client {};
    Connection()
    {
        client.fd = -1;
        ipc_client_open(&client, 1, zel_path(ZEL_DB_SOCKET_PATH).c_str(), 0);
    }
    ~Connection()
    {
        if (client.fd >= 0)
            ipc_client_close(client.fd);
    }
};

struct DictFree {
    void operator()(dictionary *d) const { dictionary_del(d); }
};

int get_db_keys_from_local_file(const zel_dbc_map_t *row, char *dst, int len)
{
    if (!row || !dst || len <= 0)
        return -1;
    const std::string store = row->store;
    std::unique_ptr<dictionary, DictFree> d;
    if (store == "NVM") {
        char model[128] = {};
        if (zel_get_key_value_from_factory("model", model, sizeof model) != 0)
            return 0;
        char keyiv[ZEL_AES_KEYTEXT_LEN + 1] = {};
        if (zel_gen_keyiv(model, "", keyiv) != 0)
            return -1;
        bool from_backup = false;
        d.reset(zel_db_load_encrypted(zel_path("/mnt/data/.zel_db.ini"), zel_path("/mnt/data/.zel_db_bak.ini"),
                                      zel_path("/var/run/.client.ini"), keyiv, &from_backup));
        std::memset(keyiv, 0, sizeof keyiv);
    } else if (store == "RAM") {
        d.reset(iniparser_load(zel_path("/var/run/run.ini").c_str()));
    } else if (store == "ROM") {
        // Only the factory data answers for ROM; a key it lacks is absent.
        if (zel_get_key_value_from_factory(row->key, dst, len) != 0)
            return -1;
        ZEL_LOGI(TAG, "%s\n", zel_db_loggable(row->key, dst));
        return 0;
    } else {
        return -1;
    }
    if (!d)
        return -1;
    if (get_value_fuzzy_from_db(d.get(), row->key, dst, len) == 0)
        ZEL_LOGI(TAG, "%s\n", zel_db_loggable(row->key, dst));
    return 0;
}

// The server address of a client of `type`: 1 a Unix socket path, 2 and 3 an IPv4 address and port.
bool client_address(int type, const char *address, int port, sockaddr_storage *out, socklen_t *len)
{
    if (!address)
        return false;
    if (type == 1) {
        auto *un = reinterpret_cast<sockaddr_un *>(out);
        const size_t n = std::strlen(address);
        if (n >= sizeof un->sun_path)
            return false;
        un->sun_family = AF_UNIX;
        std::memcpy(un->sun_path, address, n + 1);
        *len = sizeof *un;
        return true;
    }
    if ((type != 2 && type != 3) || port <= 0 || port > 65535)
        return false;
    auto *in = reinterpret_cast<sockaddr_in *>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    *len = sizeof *in;
    return inet_pton(AF_INET, address, &in->sin_addr) == 1;
}

} // namespace

void ipc_client_open(ipc_client_t *client, int type, const char *address, int port)
{
    if (!client)
        return;
    client->fd = -1;
    client->ret = 0;
    sockaddr_storage addr {};
    socklen_t addr_len = 0;
    if (!client_address(type, address, port, &addr, &addr_len)) {
        ZEL_LOGE(TAG, "[%s %d] bad client arguments (type %d)\n", __func__, __LINE__, type);
        client->status = 1;
        return;
    }
    const int kind = type == 3 ? SOCK_DGRAM : SOCK_STREAM;
    client->fd = socket(addr.ss_family, kind | SOCK_CLOEXEC, 0);
    if (client->fd < 0) {
        ZEL_LOGE(TAG, "socket:%s\n", std::strerror(errno));
        client->status = 2;
        return;
    }
    const timeval timeout {IO_TIMEOUT_S, 0};
    if (setsockopt(client->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        setsockopt(client->fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
        ZEL_LOGW(TAG, "[%s %d] no socket time-out: %s\n", __func__, __LINE__, std::strerror(errno));
    // A datagram socket is connected too: its requests then go to the server with a plain send and
    // only the server's replies are received.
    if (connect(client->fd, reinterpret_cast<sockaddr *>(&addr), addr_len) != 0) {
        ZEL_LOGD(TAG, "connect: %s\n", std::strerror(errno));
        close(client->fd);
        client->fd = -1;
        client->status = 3;
        return;
    }
    client->status = 0;
}

int ipc_client_send(ipc_client_t *client, const void *data, int len)
{
    if (!client || client->fd < 0 || !data || len < 0)
        return -1;
    const auto *p = static_cast<const char *>(data);
    int sent = 0;
    while (sent < len) {
        const ssize_t n = send(client->fd, p + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        sent += static_cast<int>(n);
    }
    return sent;
}

int ipc_client_read(ipc_client_t *client, void *buf, int size)
{
    if (!client || client->fd < 0 || !buf || size <= 0)
        return 0;
    client->ret = static_cast<int>(recv(client->fd, buf, static_cast<size_t>(size), 0));
    return client->ret > 0 ? 1 : 0;
}

int ipc_client_close(int fd)
{
    return close(fd);
}

void handle_error(int status)
{
    if (status == 2)
        ZEL_LOGE(TAG, "socket call failed \n");
    else if (status == 3)
        ZEL_LOGE(TAG, "socket connection failed. is the zel_db server running? \n");
    else
        ZEL_LOGI(TAG, "socket call succ \n");
}

int zel_api_db_cli_get_value(const char *key, char *dst, int len)
{
    if (!key || !dst || len <= 0) {
        ZEL_LOGE(TAG, " input param error \n");
        return -6;
    }
    if (strnlen(key, ZEL_DB_KEY_MAX + 1) > ZEL_DB_KEY_MAX) {
        ZEL_LOGE(TAG, " key length out of range\n");
        return -2;
    }
    const zel_dbc_map_t *row = find_row(key, true);
    // A get carries no value, so its request is the head alone.
    const std::vector<uint8_t> request =
        row ? zel_db_msg_build(request_for(ZEL_DB_OP_GET, *row)) : zel_db_msg_zero(ZEL_DB_MSG_VALUE);
    Connection conn;
    if (conn.client.status != 0) {
        if (get_db_keys_from_local_file(row, dst, len) != 0)
            handle_error(conn.client.status);
        return -1;
    }
    uint32_t type = 0;
    uint32_t length = 0;
    if (exchange(conn.client, request, dst, len, &type, &length) != 0 || length == 0)
        return -1;
    ZEL_LOGD(TAG, "get value:%s", zel_db_loggable(key, dst));
    return 0;
}

int zel_api_db_cli_set_value(const char *key, const char *value, int len)
{
    if (!key || !value)
        return -6;
    const size_t value_len = strnlen(value, ZEL_DB_KEY_MAX + 1);
    if (len < 0 || static_cast<size_t>(len) < value_len || strnlen(key, ZEL_DB_KEY_MAX + 1) > ZEL_DB_KEY_MAX ||
        len > ZEL_DB_KEY_MAX)
        return -2;
    if (value_len > MAX_SET_VALUE) {
        // The server reads one request per read of 1536 bytes; a longer one would be cut in two.
        ZEL_LOGE(TAG, "[%s %d] value of %d characters does not fit one request\n", __func__, __LINE__,
                 static_cast<int>(value_len));
        return -2;
    }
    const zel_dbc_map_t *row = find_row(key, false);
    std::vector<uint8_t> request;
    if (row) {
        zel_db_request_t req = request_for(ZEL_DB_OP_SET, *row);
        req.value.assign(value, value_len);
        request = zel_db_msg_build(req);
    } else {
        request = zel_db_msg_zero(ZEL_DB_MSG_VALUE + value_len + 1);
    }
    Connection conn;
    if (conn.client.status != 0) {
        handle_error(conn.client.status);
        return -1;
    }
    uint32_t type = ZEL_DB_REPLY_FAILED;
    uint32_t length = 0;
    if (exchange(conn.client, request, nullptr, 0, &type, &length) != 0 || type != ZEL_DB_REPLY_DONE) {
        ZEL_LOGE(TAG, "[%s %d] set of %s not taken (reply type %u)\n", __func__, __LINE__, key, type);
        return -1;
    }
    return 0;
}
