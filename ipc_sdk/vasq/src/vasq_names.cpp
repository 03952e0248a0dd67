// The names that the streaming SDK's logs print for its result codes, session states and commands.
#include "vasq_api.h"
#include "vasq_internal.h"

#include <stddef.h>

namespace {

const char *const kErrors[] = {
    "OK",
    "VASQ_ERR_CLOSE_BY_LOCAL",
    "VASQ_ERR_CLOSE_BY_REMOTE",
    "VASQ_ERR_AUTHORIZED",
    "VASQ_ERR_CLOSE_BY_TIMEOUT",
    "VASQ_ERR_NOT_SUPPORT_VENDOR",
    "VASQ_ERR_ALREADY_INITIALIZED",
    "VASQ_ERR_NOT_INITIALIZED",
    "VASQ_ERR_ABORTED",
    "VASQ_ERR_CREATE_MUTEX",
    "VASQ_ERR_CREATE_THREAD",
    "VASQ_ERR_NOT_ENOUGH_MEMORY",
    "VASQ_ERR_CREATE_SOCKET",
    "VASQ_ERR_SOCKET_OPTIONS",
    "VASQ_ERR_SOCKET_BIND",
    "VASQ_ERR_MAX_SESSION",
    "VASQ_ERR_SESSION_HANDLE",
    "VASQ_ERR_TIMOUT",
    "VASQ_ERR_RPC_SEND",
    "VASQ_ERR_RPC_JSON_PARSE",
    "VASQ_ERR_DISCONNECT_TIMOUT",
    "VASQ_ERR_CREATE_CHANNEL",
    "VASQ_ERR_INVALID_ARG",
    "VASQ_ERR_CLIENT_NO_SUPPORT",
    "VASQ_ERR_MAX_CHANNEL",
    "VASQ_ERR_NO_RESPONSE",
    "VASQ_ERR_NO_BUFFER",
    "VASQ_ERR_CHANNEL_EXCEED_MAX_SIZE",
    "VASQ_ERR_FUNCTION_ALREADY_CALLED",
    "VASQ_ERR_FRAME_DECRYPTO",
    "VASQ_ERR_FRAME_ENCTYPTO",
    "VASQ_ERR_FUNCTION_DISABLE",
    "VASQ_ERR_SLEEPING",
    "VASQ_ERR_OFFLINE",
    "VASQ_ERR_CONNECT_SERVER",
    "VASQ_ERR_CHECK_VENDOR",
    "VASQ_ERROR_DEVICE_SESSION_MAX",
};

const char *const kStates[] = {
    "session preinit status", "session init status",   "session connect status",
    "session authenticating status", "session normal status", "session disconnect status",
};

const char *const kCommands[] = {
    "authenticate req",      "authenticate resp", "video start",         "video stop",
    "audio start",           "audio stop ",       "speaker start req",   "speaker start resp ",
    "speaker stop",          "video quality req", "video quality response", "get audio format",
    "audio format response", "playback request ", "playback response",   "playback speed",
    "device info request",   "device info response", "device motor control", "device motor control response",
};

template <size_t N>
const char *name_of(const char *const (&table)[N], int index, const char *unknown)
{
    return index >= 0 && static_cast<size_t>(index) < N ? table[index] : unknown;
}

} // namespace

const char *vasq_get_err_info(int code)
{
    return name_of(kErrors, code, "unknown vasq err code");
}

const char *vasq_get_session_stat_info(int state)
{
    return name_of(kStates, state, "unknown status");
}

const char *vasq_get_cmd_info(int code)
{
    if (code == 4097)
        return "vasq max cmd";
    return name_of(kCommands, code - 256, "unknown cmd");
}

int vasq_cmd_known(int code)
{
    return code == 4097 || (code >= 256 && static_cast<size_t>(code - 256) < sizeof kCommands / sizeof kCommands[0]);
}
