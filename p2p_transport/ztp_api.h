// The P2P transport's public entry points (device role): initialisation, server login and listen,
// network detection, session information and close, the relay services and the login-check key.
// Each ZTP_ function calls the ztp_proto_ function of the same name; results are 0 (or a handle)
// or one of the negative codes below.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum ztp_error {
    ERROR_ZTP_SUCCESSFUL = 0,
    ERROR_ZTP_NOT_INITIALIZED = -1,
    ERROR_ZTP_ALREADY_INITIALIZED = -2,
    ERROR_ZTP_TIME_OUT = -3,
    ERROR_ZTP_INVALID_ID = -4,
    ERROR_ZTP_INVALID_PARAMETER = -5,
    ERROR_ZTP_DEVICE_NOT_ONLINE = -6,
    ERROR_ZTP_FAIL_TO_RESOLVE_NAME = -7,
    ERROR_ZTP_INVALID_PREFIX = -8,
    ERROR_ZTP_ID_OUT_OF_DATE = -9,
    ERROR_ZTP_NO_RELAY_SERVER_AVAILABLE = -10,
    ERROR_ZTP_INVALID_SESSION_HANDLE = -11,
    ERROR_ZTP_SESSION_CLOSED_REMOTE = -12,
    ERROR_ZTP_SESSION_CLOSED_TIMEOUT = -13,
    ERROR_ZTP_SESSION_CLOSED_CALLED = -14,
    ERROR_ZTP_REMOTE_SITE_BUFFER_FULL = -15,
    ERROR_ZTP_USER_LISTEN_BREAK = -16,
    ERROR_ZTP_MAX_SESSION = -17,
    ERROR_ZTP_UDP_PORT_BIND_FAILED = -18,
    ERROR_ZTP_USER_CONNECT_BREAK = -19,
    ERROR_ZTP_SESSION_CLOSED_INSUFFICIENT_MEMORY = -20,
    ERROR_ZTP_FAIL_TO_CREATE_THREAD = -22,
    ERROR_ZTP_INVALID_DSK = -23,
    ERROR_ZTP_FAILED_TO_CONNECT_TCP_RELAY = -24,
    ERROR_ZTP_FAIL_TO_ALLOCATE_MEMORY = -25,
};

enum {
    ZTP_API_VERSION = 0x05000800,
    ZTP_DID_TEXT_MAX = 23, // "%s-%06d-%s" in 24 bytes
    ZTP_INIT_TEXT_MAX = 256,
    ZTP_CRC_KEY_MAX = 64,
};

enum ztp_login_mode { ZTP_LOGIN_NONE = 0, ZTP_LOGIN_UDP = 1, ZTP_LOGIN_UDP_TCP = 2 };
enum ztp_session_mode { ZTP_MODE_P2P = 0, ZTP_MODE_RELAY = 1, ZTP_MODE_TCP_RELAY = 2, ZTP_MODE_RELAY_TO_P2P = 3 };

// In-process records (the caller's memory, never on a wire).
typedef struct ztp_session_info {
    int32_t socket;
    struct sockaddr_in remote_addr;
    struct sockaddr_in local_addr;
    struct sockaddr_in wan_addr;
    uint32_t seconds_connected;
    char did[24];
    uint8_t role; // 1 device
    uint8_t mode; // ztp_session_mode
    uint8_t reserved[2];
} ztp_session_info;

typedef struct ztp_net_info {
    uint8_t internet_ok;
    uint8_t host_resolved;
    uint8_t server_hello_ok;
    uint8_t nat_type; // 0 unknown, 1 address-restricted, 2 port-restricted, 3 symmetric, 4 WAN addresses differ
    char lan_ip[16];
    char wan_ip[16];
} ztp_net_info;

int ZTP_GetAPIVersion(void);
int ZTP_Initialize(const char *init_text);
int ZTP_DeInitialize(void);
int ZTP_NetworkDetect(ztp_net_info *info, uint16_t udp_port);
int ZTP_NetworkDetectByServer(ztp_net_info *info, uint16_t udp_port, const char *init_string);
// `did` optionally followed by ':' and the DSK; timeout 60 to 86400 s; login mode ztp_login_mode.
int ZTP_Listen(const char *did, unsigned timeout_s, uint16_t udp_port, uint8_t login_mode);
int ZTP_Listen_Break(void);
int ZTP_Check(int handle, ztp_session_info *info);
// Reads exactly *size bytes from channel 0..7 within timeout_ms; on a shortfall *size is what was read.
int ZTP_Read(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms);
// Queues 1..0x200000 bytes on channel 0..7: the bytes taken (fewer than len, possibly 0, while the
// channel holds as many unacknowledged blocks as it can keep in order; write the rest later), or an
// error. Never waits for the peer.
int ZTP_Write(int handle, uint8_t channel, const char *data, int len);
// Bytes queued for sending (with what the TCP socket holds) and bytes waiting to be read; either
// pointer may be null.
int ZTP_Check_Buffer(int handle, uint8_t channel, uint32_t *write_size, uint32_t *read_size);
// One unacknowledged packet of 0..1240 bytes: the length, or an error.
int ZTP_PktSend(int handle, uint8_t channel, const char *data, int len);
// One packet (cut to *size) within timeout_ms, or -3.
int ZTP_PktRecv(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms);
// Sends what is queued, then closes; ZTP_ForceClose drops what is unsent.
int ZTP_Close(int handle);
int ZTP_ForceClose(int handle);
// The library's state as a JSON text, in a buffer of the calling thread's own.
const char *ZTP_GetAPIInformation(void);
int ZTP_QueryDID(void);
// The client role: argument checks, then -6 (this device never connects out).
int ZTP_Connect(const char *did, uint8_t login_mode, uint16_t udp_port);
int ZTP_ConnectByServer(const char *did, uint8_t login_mode, uint16_t udp_port, const char *init_string);
int ZTP_Connect_Break(void);
int ZTP_LoginStatus_Check(uint8_t *logged_in);
int ZTP_Share_Bandwidth(uint8_t on);
int ZTP_Enable_SmartDevice(uint8_t on);
// The login check's key: -1 before ZTP_Initialize, -5 for null or more than 64 characters.
int ZTP_SetCRCKey(const char *key);
int ZTP__CheckValidDID(const char *did);
// The login of a sleeping device: DevLgn1_CRC for `did` to each server from `sock`. 0, -1 before
// initialisation, -4 for a DID that is not valid.
int ztp_SleepLogin(const char *did, int sock);

int ztp_proto_GetAPIVersion(void);
int ztp_proto_Initialize(const char *init_text);
int ztp_proto_DeInitialize(void);
int ztp_proto_NetworkDetect(ztp_net_info *info, uint16_t udp_port);
int ztp_proto_NetworkDetectByServer(ztp_net_info *info, uint16_t udp_port, const char *init_string);
int ztp_proto_Listen(const char *did, unsigned timeout_s, uint16_t udp_port, uint8_t login_mode);
int ztp_proto_Listen_Break(void);
int ztp_proto_Check(int handle, ztp_session_info *info);
int ztp_proto_Read(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms);
int ztp_proto_Write(int handle, uint8_t channel, const char *data, int len);
int ztp_proto_Check_Buffer(int handle, uint8_t channel, uint32_t *write_size, uint32_t *read_size);
int ztp_proto_PktSend(int handle, uint8_t channel, const char *data, int len);
int ztp_proto_PktRecv(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms);
int ztp_proto_Close(int handle);
int ztp_proto_ForceClose(int handle);
const char *ztp_proto_GetAPIInformation(void);
int ztp_proto_QueryDID(void);
int ztp_proto_Connect(const char *did, uint8_t login_mode, uint16_t udp_port);
int ztp_proto_ConnectByServer(const char *did, uint8_t login_mode, uint16_t udp_port, const char *init_string);
int ztp_proto_Connect_Break(void);
int ztp_proto_LoginStatus_Check(uint8_t *logged_in);
int ztp_proto_Share_Bandwidth(uint8_t on);
int ztp_proto_Enable_SmartDevice(uint8_t on);
int ztp_proto_SetCRCKey(const char *key);

#ifdef __cplusplus
}
#endif
