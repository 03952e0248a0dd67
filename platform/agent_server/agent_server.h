// The agent server: the hub of the agent bus, which the main program starts before any app module
// joins the bus.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Starts listening on the agent-bus address and serving connections on a thread of its own; 0, or -1
// when the address cannot be taken or the thread cannot be started. A second call while it runs
// changes nothing and gives 0.
int agent_server_init(void);

#ifdef __cplusplus
}
#endif
