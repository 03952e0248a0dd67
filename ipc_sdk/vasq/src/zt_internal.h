// What the transport adapter's files share: the session threads and their end.
#pragma once

#include "zt_adapter.h"

namespace zt {

inline constexpr const char *kModule = "VASQ";

// Writes every byte of `data` on the channel; 0 or the write-path SDK code.
int write_all(int handle, int channel, const void *data, int length);
// Wakes the send thread.
void wake_sender(vasq_session *s);

// A new session record for an accepted handle (state 1, rings made), or none.
vasq_session *session_new(vasq_server *server, int handle, int link_type);

void *command_thread(void *arg);
void *send_thread(void *arg);
void *audio_recv_thread(void *arg);
void *video_recv_thread(void *arg);
void *rdt_recv_thread(void *arg);
void *statistics_thread(void *arg);
void *listen_thread(void *arg);
void *login_thread(void *arg);

// A named thread ("name_%d" of the handle); none when it cannot start.
ko_thread *start_thread(const char *format, int handle, ko_thread_entry entry, void *arg);
// Sleeps up to `ms` or until the transport stops.
void server_wait(vasq_server *server, int ms);
bool running(const vasq_server *server);

} // namespace zt
