// NetBIOS name-service packets (RFC 1002) as pure functions over buffers: the name query, the
// node-status query, and the parse of their answers, every field read within the datagram.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    NAS_NB_PORT = 137,
    NAS_NB_HEADER_LEN = 12,
    NAS_NB_ENCODED_NAME_LEN = 34, // length byte, 32 half-bytes, terminator
    NAS_NB_QUERY_LEN = NAS_NB_HEADER_LEN + NAS_NB_ENCODED_NAME_LEN + 4,
    NAS_NB_MAX_ADDRS = 8,
    NAS_NB_MAX_NAMES = 32,
    NAS_NB_SUFFIX_WORKSTATION = 0x00,
    NAS_NB_SUFFIX_SERVER = 0x20,
};

typedef struct nas_nb_name {
    char name[16];  // up to 15 characters, trailing blanks cut
    uint8_t suffix;
    uint8_t group;  // 1 for a group name
} nas_nb_name;

enum { NAS_NB_REPLY_NAME = 1, NAS_NB_REPLY_STATUS = 2 };

typedef struct nas_nb_reply {
    uint16_t trn_id;
    int kind;                            // NAS_NB_REPLY_*
    uint32_t addrs[NAS_NB_MAX_ADDRS];    // name answers, network order
    int addr_count;
    nas_nb_name names[NAS_NB_MAX_NAMES]; // node-status answers
    int name_count;
} nas_nb_reply;

// A name query for `name` (1 to 15 characters, "*" for every host) with `suffix`; the length written
// (NAS_NB_QUERY_LEN) or 0 when it does not fit or the name is bad.
size_t nas_nb_build_name_query(uint8_t *out, size_t size, uint16_t trn_id, const char *name, uint8_t suffix,
                               int broadcast);
// A node-status query for "*"; the length written or 0.
size_t nas_nb_build_node_status(uint8_t *out, size_t size, uint16_t trn_id);
// 0 with a positive answer parsed into `out`, -1 for anything else (a request, an error answer,
// a cut or inconsistent packet).
int nas_nb_parse(const uint8_t *buf, size_t len, nas_nb_reply *out);
// The host name and workgroup of a node-status answer: 0, or -1 when it names no host.
int nas_nb_status_names(const nas_nb_reply *reply, char host[16], char group[16]);

#ifdef __cplusplus
}
#endif
