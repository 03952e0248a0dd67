// Transport error names, error mappings and connection modes.
#include "zt_errors.h"

#include "vasq_errors.h"
#include "ztp_api.h"

const char *zt_error_name(int code)
{
    switch (code) {
    case 0: return "OK";
    case ERROR_ZTP_NOT_INITIALIZED: return "ERROR_ZTP_NOT_INITIALIZED";
    case ERROR_ZTP_ALREADY_INITIALIZED: return "ERROR_ZTP_ALREADY_INITIALIZED";
    case ERROR_ZTP_TIME_OUT: return "ERROR_ZTP_TIME_OUT";
    case ERROR_ZTP_INVALID_ID: return "ERROR_ZTP_INVALID_ID";
    case ERROR_ZTP_INVALID_PARAMETER: return "ERROR_ZTP_INVALID_PARAMETER";
    case ERROR_ZTP_DEVICE_NOT_ONLINE: return "ERROR_ZTP_DEVICE_NOT_ONLINE";
    case ERROR_ZTP_FAIL_TO_RESOLVE_NAME: return "ERROR_ZTP_FAIL_TO_RESOLVE_NAME";
    case ERROR_ZTP_INVALID_PREFIX: return "ERROR_ZTP_INVALID_PREFIX";
    case ERROR_ZTP_ID_OUT_OF_DATE: return "ERROR_ZTP_ID_OUT_OF_DATE";
    case ERROR_ZTP_NO_RELAY_SERVER_AVAILABLE: return "ERROR_ZTP_NO_RELAY_SERVER_AVAILABLE";
    case ERROR_ZTP_INVALID_SESSION_HANDLE: return "ERROR_ZTP_INVALID_SESSION_HANDLE";
    case ERROR_ZTP_SESSION_CLOSED_REMOTE: return "ERROR_ZTP_SESSION_CLOSED_REMOTE";
    case ERROR_ZTP_SESSION_CLOSED_TIMEOUT: return "ERROR_ZTP_SESSION_CLOSED_TIMEOUT";
    case ERROR_ZTP_SESSION_CLOSED_CALLED: return "ERROR_ZTP_SESSION_CLOSED_CALLED";
    case ERROR_ZTP_REMOTE_SITE_BUFFER_FULL: return "ERROR_ZTP_REMOTE_SITE_BUFFER_FULL";
    case ERROR_ZTP_USER_LISTEN_BREAK: return "ERROR_ZTP_USER_LISTEN_BREAK";
    case ERROR_ZTP_MAX_SESSION: return "ERROR_ZTP_MAX_SESSION";
    case ERROR_ZTP_UDP_PORT_BIND_FAILED: return "ERROR_ZTP_UDP_PORT_BIND_FAILED";
    case ERROR_ZTP_USER_CONNECT_BREAK: return "ERROR_ZTP_USER_CONNECT_BREAK";
    case ERROR_ZTP_SESSION_CLOSED_INSUFFICIENT_MEMORY: return "ERROR_ZTP_SESSION_CLOSED_INSUFFICIENT_MEMORY";
    case ERROR_ZTP_FAIL_TO_CREATE_THREAD: return "ERROR_ZTP_FAIL_TO_CREATE_THREAD";
    case ERROR_ZTP_INVALID_DSK: return "ERROR_ZTP_INVALID_DSK";
    case ERROR_ZTP_FAILED_TO_CONNECT_TCP_RELAY: return "ERROR_ZTP_FAILED_TO_CONNECT_TCP_RELAY";
    case ERROR_ZTP_FAIL_TO_ALLOCATE_MEMORY: return "ERROR_ZTP_FAIL_TO_ALLOCATE_MEMORY";
    default: return "Unknown, something is wrong";
    }
}

namespace {

// The two paths differ only for a close this side asked for.
int map_error(int code, int called)
{
    switch (code) {
    case ERROR_ZTP_REMOTE_SITE_BUFFER_FULL: return VASQ_ERR_NO_BUFFER;
    case ERROR_ZTP_SESSION_CLOSED_CALLED: return called;
    case ERROR_ZTP_SESSION_CLOSED_TIMEOUT: return VASQ_ERR_CLOSE_BY_TIMEOUT;
    case ERROR_ZTP_SESSION_CLOSED_REMOTE: return VASQ_ERR_CLOSE_BY_REMOTE;
    case ERROR_ZTP_INVALID_SESSION_HANDLE: return VASQ_ERR_SESSION_HANDLE;
    case ERROR_ZTP_INVALID_PARAMETER: return VASQ_ERR_INVALID_ARG;
    case ERROR_ZTP_NOT_INITIALIZED: return VASQ_ERR_NOT_INITIALIZED;
    default: return VASQ_ERR_ABORTED;
    }
}

} // namespace

int zt_read_error(int code)
{
    return map_error(code, VASQ_ERR_CLOSE_BY_LOCAL);
}

int zt_write_error(int code)
{
    return map_error(code, VASQ_ERR_ABORTED);
}

int zt_link_type(int mode)
{
    switch (mode) {
    case ZTP_MODE_P2P: return 1;
    case ZTP_MODE_RELAY: return 2;
    case ZTP_MODE_TCP_RELAY: return 4;
    case ZTP_MODE_RELAY_TO_P2P: return 5;
    default: return 0;
    }
}

const char *zt_mode_name(int mode)
{
    switch (mode) {
    case ZTP_MODE_P2P: return "p2p mode";
    case ZTP_MODE_RELAY: return "relay mode";
    case ZTP_MODE_TCP_RELAY: return "tcp mode";
    case ZTP_MODE_RELAY_TO_P2P: return "relay_r_p2p mode";
    default: return "unknown mode";
    }
}
