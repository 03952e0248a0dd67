// What the engine's sources share: the queued record, its kinds, and the engine's own helpers.
#pragma once

#include <json-c/json.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>

namespace zel_rpc {

constexpr const char *TAG = "zel_tolk_app";
constexpr int kTextMax = 4096;

// One queued request. It stays inside the process (a byte ring of whole records), but its size is
// fixed so that the ring holds exactly ten.
struct Msg {
    int32_t type;
    int32_t id;
    int32_t siid; // actions only: outward service id
    int32_t piid; // actions only: outward action id
    int32_t length;
    char text[kTextMax]; // one JSON object, NUL-terminated
};
static_assert(sizeof(Msg) == 4116, "a queued request is 4116 bytes");
constexpr uint32_t kQueueRecords = 10;

enum Type { kGet = 0, kSet = 1, kAction = 3, kPulled = 5, kMethod = 6 };

// The error a request gets when the queue has no room for it: the daemon may send it again.
constexpr int kBusyCode = -33020;
constexpr const char *kBusyMessage = "rpc queue is busy";

// json-c objects owned by a unique_ptr.
struct JsonPut {
    void operator()(json_object *obj) const { json_object_put(obj); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// Exactly one JSON value in `text` (white space around it allowed); null otherwise.
JsonPtr parse_one(std::string_view text);
std::string to_text(json_object *obj, int flags = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
// `text` as a quoted, escaped JSON string.
std::string quoted(std::string_view text);
// The member `key` of an object when it is a JSON integer that fits 32 bits.
bool int_member(json_object *obj, const char *key, int32_t *out);
// The member `key` of an object, or null (also for a non-object).
json_object *member(json_object *obj, const char *key);
// printf into a string; false when the result would be `limit` bytes or more.
bool format(std::string &out, size_t limit, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Sends one text to the daemon: the send's result, -1 for an empty text.
int send_text(const std::string &text);

// The engine's device id; reply elements carry it.
std::string device_id();
// Reads "ROM.did", or asks the SDK until it answers; stores the id. Returns when an id is held.
void acquire_did();

// The queue: put and take of whole records. put is refused (false) while the engine is stopped.
bool queue_put(const Msg &msg);
// Answers a request that the queue could not keep with the busy error.
void refuse_busy(const Msg &msg);
// Serves one record on the worker.
void dispatch(const Msg &msg);

// The cloud synchronisation tick: started last by init, stopped first by deinit.
int sync_start();
void sync_stop();
// Id of the last "_sync.spec_get_prop" sent; 0 before any.
int32_t last_pull_id();

} // namespace zel_rpc
