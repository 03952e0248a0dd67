// The streaming SDK's result codes (positive), as the API returns them and the reports carry them.
#pragma once

enum vasq_err {
    VASQ_OK = 0,
    VASQ_ERR_CLOSE_BY_LOCAL = 1,
    VASQ_ERR_CLOSE_BY_REMOTE = 2,
    VASQ_ERR_AUTHORIZED = 3,
    VASQ_ERR_CLOSE_BY_TIMEOUT = 4,
    VASQ_ERR_NOT_SUPPORT_VENDOR = 5,
    VASQ_ERR_NOT_INITIALIZED = 7,
    VASQ_ERR_ABORTED = 8,
    VASQ_ERR_CREATE_THREAD = 10,
    VASQ_ERR_NOT_ENOUGH_MEMORY = 11,
    VASQ_ERR_SESSION_HANDLE = 16,
    VASQ_ERR_INVALID_ARG = 22,
    VASQ_ERR_NO_BUFFER = 26,
    VASQ_ERR_FRAME_DECRYPTO = 29,
    VASQ_ERR_CONNECT_SERVER = 34,
};
