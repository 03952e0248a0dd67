// Test-only control of the agent server: stopping it, so that tests can watch modules reconnect, and
// looking at its registrations, so that tests send only once a module is registered.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Closes every connection and the listening socket and ends the server's thread; nothing when it is
// not running. agent_server_init starts it again.
void agent_server_stop(void);

// The number of connections registered for `method` (0 while the server is not running).
int agent_server_subscribers(const char *method);

#ifdef __cplusplus
}
#endif
