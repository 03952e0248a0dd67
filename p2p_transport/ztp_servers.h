// The P2P servers named by an init string: decoding the names and resolving them to addresses.
#pragma once

#include <netinet/in.h>

#include "ztp_state.h"

// Decodes `init_string` and keeps the first three comma-terminated names: the number kept, or -1
// when the text does not decode.
int ztp_server_names(const char *init_string, char names[ZTP_SERVER_COUNT][64]);
// Resolves each name to AF_INET, the server UDP port. A name that does not resolve stops the
// resolution (the later addresses stay 0): 1 when all named servers resolved, else 0.
int ztp_resolve_servers(const char names[ZTP_SERVER_COUNT][64], struct sockaddr_in addrs[ZTP_SERVER_COUNT]);
