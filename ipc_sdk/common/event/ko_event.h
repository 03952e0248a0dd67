// The event manager: alarms triggered by the application are kept (at most 100, for 3 minutes) until
// the SD recorder and the cloud recorder take the ones that fall into their recording windows.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Consumer bits of a trigger; other bits are kept and reported but never tested for repeats.
enum { KO_EVENT_CONSUMER_SD = 1, KO_EVENT_CONSUMER_CLOUD = 2 };

enum {
    KO_EVENT_DATA_SIZE = 144,
    KO_EVENT_MAX_NODES = 100,
    KO_EVENT_REPEAT_MS = 1500,
    KO_EVENT_EXPIRE_MS = 180000,
    KO_EVENT_TYPE_MAX = 63, // the highest type the 64-bit type set of a fetch can hold
};

// Face events carry their feature values in the data bytes (see ko_event_face).
enum { KO_EVENT_TYPE_FACE = 9, KO_EVENT_TYPE_FACE2 = 10 };

// 160 bytes.
typedef struct ko_event_info {
    int32_t type;
    int32_t reserved;
    uint64_t time_ms; // monotonic milliseconds; 0 = now
    uint8_t data[KO_EVENT_DATA_SIZE];
} ko_event_info;

// The view of the data bytes of a face event: the feature array sits at the data's 9th byte (with
// the 32-bit target's layout), followed by its number of values.
typedef struct ko_event_face {
    uint8_t head[8];
    uint32_t *feature;
    uint16_t feature_num;
} ko_event_face;

// 152 bytes on the 32-bit target. `face` holds the data of the last face event found; its feature
// pointer then is a copy of its own, allocated with vexa_malloc, which the caller frees with vexa_free.
typedef struct ko_event_result {
    uint64_t types; // bit n set for every type n found
    uint8_t face[KO_EVENT_DATA_SIZE];
} ko_event_result;

int ko_event_manage_init(void);
int ko_event_manage_deinit(void);
// 0, or -1 for a NULL info, a type outside 0 to KO_EVENT_TYPE_MAX or a manager not started.
int ko_ipc_event_trigger(int consumers, const ko_event_info *info);
// Reports and takes the consumer's pending events whose time is in [start_ms, end_ms), takes those
// before the window unreported: the number reported, or -1.
int ko_event_get_info(int consumer, uint64_t start_ms, uint64_t end_ms, ko_event_result *out);
// Drops the events nobody waits for or older than 3 minutes; 1 when an event is pending for the
// consumer, 0 when none, -1 when not started. The type-2 flag is copied out (and reset with `clear`).
int ko_event_get_count(int consumer, uint8_t *type2_seen, int clear);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(ko_event_info) == 160, "ko_event_info is 160 bytes");
static_assert(offsetof(ko_event_face, feature) == 8, "the feature array sits at the data's 9th byte");
static_assert(sizeof(void *) != 4 || sizeof(ko_event_result) == 152, "ko_event_result is 152 bytes on the target");
#endif
