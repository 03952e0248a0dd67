// Feeds NetBIOS name-service datagrams to the answer parser: every field must be read within the
// datagram (the copy has no slack behind it), and what it reports must be consistent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/nas/nas_netbios_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    std::memcpy(copy.get(), data, size);
    nas_nb_reply reply;
    if (nas_nb_parse(copy.get(), size, &reply) != 0)
        return 0;
    if (reply.addr_count < 0 || reply.addr_count > NAS_NB_MAX_ADDRS || reply.name_count < 0 ||
        reply.name_count > NAS_NB_MAX_NAMES)
        std::abort();
    if (reply.kind == NAS_NB_REPLY_NAME && reply.addr_count == 0)
        std::abort();
    char host[16], group[16];
    if (nas_nb_status_names(&reply, host, group) == 0 && (std::strlen(host) > 15 || std::strlen(group) > 15))
        std::abort();
    return 0;
}
