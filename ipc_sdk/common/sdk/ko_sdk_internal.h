// What the SDK core's files share among themselves: sending to the device daemon, the camera-state
// words, the daemon method handlers' registration and the media information.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <json-c/json.h>

#include <string>

#include "common/sdk/ko_sdk.h"

#define KO_IPC_MODULE "KO IPC"

namespace ko_sdk {

// Holds the information record's mutex for a scope.
class RecordLock {
public:
    explicit RecordLock(ko_sdk_info *record) : mutex_(&record->mutex) { pthread_mutex_lock(mutex_); }
    ~RecordLock() { pthread_mutex_unlock(mutex_); }
    RecordLock(const RecordLock &) = delete;
    RecordLock &operator=(const RecordLock &) = delete;

private:
    pthread_mutex_t *mutex_;
};

// Pushes JSON text as "rpc.rpc" from the SDK core (uid 1) to the RPC link (uid 7), in the caller's
// thread (KO_MSG_MODE_SYNC) or queued; an empty text is not pushed. The push result.
int send_to_daemon(const std::string &text, uint32_t mode);
// Sends {"id":<random>,"method":<method>} queued.
void send_query(const char *method);
// The plain JSON text of an object (no spaces, "/" not escaped).
std::string json_text(json_object *obj);
// A random request id in [0, 2147483647).
int32_t random_id();
// The text of a fixed-width field, which need not be terminated within `width`.
inline std::string text_of(const char *field, size_t width)
{
    return std::string(field, strnlen(field, width));
}
template <size_t N> std::string text_of(const char (&field)[N])
{
    return text_of(field, N);
}

// The camera state of a daemon status word, or -1 for a word not in the table.
int camera_state_of(const char *word);

// Removes what ko_linux_ot_rpc_sub set up (bus keys, the device-id timer, the process-wide flags),
// for the stop and for a start that is undone.
void ot_rpc_unsub();
// Copies the stored parameters of a channel under the stream mutex, so that a channel added or
// deleted meanwhile is read whole; false where ko_ipc_get_stream_info gives none.
bool stream_info_copy(unsigned chn, ko_stream_chn_info *out);
// Sends "_sync.set_extra_data" with the parameters of channels 0 and 4, queued.
void send_media_info();

} // namespace ko_sdk

// Registers the daemon method handlers at uid 1 and as inner methods of the RPC link: 0 or -1.
extern "C" int ko_linux_ot_rpc_sub(ko_sdk_info *record);
