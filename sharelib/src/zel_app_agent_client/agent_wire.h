// The agent bus's wire basics, shared by the client and our agent server: the abstract socket
// address and the splitting of one packet into the JSON texts it holds back to back.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <functional>
#include <string_view>

struct json_object;

// Largest packet a module reads in one receive.
constexpr int ZEL_AGENT_PACKET_MAX = 4096;

// Fills `addr` with the bus address: a NUL, then the name ($ZELMAR_AGENT_SOCK when set and not
// empty, else "lumo_AGENTsock"), the rest of the path zero. Returns the length to bind or connect
// with: the whole structure, so the abstract name is every path byte after the NUL.
socklen_t zel_agent_address(struct sockaddr_un *addr);

// Calls `fn` with each JSON text of `buf` in order (the parsed value, borrowed, and its bytes).
// Returns 0 when the buffer is used up, the first negative result of `fn`, -2 when a text does not
// parse or is cut off, -3 when the parser cannot be had. `consumed` gets the bytes of the texts
// handled before that point.
int zel_agent_split_texts(const char *buf, size_t len,
                          const std::function<int(json_object *value, std::string_view text)> &fn, size_t *consumed);
