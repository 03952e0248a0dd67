// Everything the camera plays on its speaker: voice prompts by id (files under "/mnt/data/sound/", in
// the language of "ROM.language" when that folder exists) and talk-back audio as data, through one
// queue of 400 items and one playing thread. The thread switches the speaker and the echo canceller
// on for the first item of a batch and off 5 s after the queue last ran empty.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { SOUND_QUEUE_SLOTS = 400, SOUND_PROMPT_COUNT = 34 };

typedef struct sound_info {
    int32_t id;
    const char *name;
} sound_info_t;
extern const sound_info_t sound_info[SOUND_PROMPT_COUNT];

// One queued piece of audio; the queue owns both the item and its bytes (malloc) until played.
typedef struct sound_item {
    uint8_t *data;
    int32_t len;
} sound_item_t;

// Reads the language, opens the queue and starts the playing thread (once per process): 0 or -1.
int zel_sound_play_init(void);
// Refuses new items from now on and drops what is queued; the speaker is switched off if it was on.
void zel_sound_play_deinit(void);
// Queues a copy of `len` bytes: 0, or -1 (logged) when not initialised, for NULL data or a length
// below 1, without memory, or when the queue was full (then it was emptied).
int zel_api_play_audio_data(const void *data, int len);
// Queues prompt `id` (0 to 33): 0, or -1 (logged) for another id or a file that cannot be loaded.
int zel_api_sound_play_file(int id);
// Takes ownership of `item`: 0, or -1 when not initialised (`item` freed) or when the queue held 400
// items (all of them and `item` freed).
int message_queue_append(sound_item_t *item);
// Frees every queued item; the argument has no effect.
void message_queue_clear(int unused);
// Wakes the playing thread.
void stop_play_audio_thread(void);
void *play_audio_thread(void *arg);
// Records the motor-run state (logged); playback does not depend on it.
void set_motor_run_status(int status);

#ifdef __cplusplus
}
#endif
