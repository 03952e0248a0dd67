// The bounded FIFO of finished clip files, shared by the recorder and the upload thread.
#pragma once

#include <stdint.h>

#include "app/cloud/cloud_types.h"

inline constexpr int CLOUD_LIST_MAX = 10;
// How long a clip waits for its snapshot to land.
inline constexpr uint64_t CLOUD_JPEG_WAIT_MS = 1200;

int cloud_list_init(uint32_t buffer_size);
void cloud_list_deinit(void);
// 0; -1 for a node without mp4 path or of size 0; -5 when the buffer or the 10 places are full.
int cloud_list_add(const cloud_file_node_t *node);
// Copies the head out and counts the hand-out: the hand-out count; -2 when empty; -3 while the
// head's snapshot is missing and the head is younger than CLOUD_JPEG_WAIT_MS.
int cloud_list_getfile(cloud_file_node_t *out);
// Unlinks the head and deletes its files: 0, or -2 when empty.
int cloud_list_delete(void);
void cloud_list_delete_all(void);
// Unlinks the queued clip with this creation tick and mp4 path and deletes its files: 0, or -2 when
// no such clip is queued (already deleted).
int cloud_list_delete_node(uint64_t create_tick_ms, const char *mp4_path);
// Frees what a node owns besides its files: the feature copy of a face event.
void cloud_node_release(cloud_file_node_t *node);
// Count, bytes in use and buffer size.
void cloud_list_usage(int32_t *count, int32_t *used, int32_t *size);
