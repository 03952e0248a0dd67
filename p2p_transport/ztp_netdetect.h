// Network detection: which servers answer a Hello, the WAN address they see, and the NAT type.
#pragma once

#include <netinet/in.h>

#include "ztp_state.h"

// The local address that reaches `to` (a scratch UDP socket connected to it): 0, or -1.
int ztp_local_addr_towards(const struct sockaddr_in *to, struct sockaddr_in *local);
