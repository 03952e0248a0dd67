// The record thread "cloud_r": cuts clips from ring reader 1 while alarms are pending (or, for a
// subscribed account, continuously) and queues each finished file on the clip list.
#pragma once

struct cloud_record_ctx_t;

// 0, or -2 when the thread cannot be started.
int cloud_record_start(cloud_record_ctx_t *ctx);
// Joins the thread; the running flag must be cleared first. A file being cut is thrown away.
void cloud_record_stop(cloud_record_ctx_t *ctx);
