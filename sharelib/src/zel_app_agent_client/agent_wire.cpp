#include "zel_app_agent_client/agent_wire.h"

#include <json-c/json.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

socklen_t zel_agent_address(struct sockaddr_un *addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    const char *name = std::getenv("ZELMAR_AGENT_SOCK");
    if (!name || !*name)
        name = "lumo_AGENTsock";
    std::strncpy(addr->sun_path + 1, name, sizeof addr->sun_path - 2);
    return sizeof *addr;
}

int zel_agent_split_texts(const char *buf, size_t len,
                          const std::function<int(json_object *value, std::string_view text)> &fn, size_t *consumed)
{
    *consumed = 0;
    std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tok(json_tokener_new(), json_tokener_free);
    if (!tok)
        return -3;
    size_t off = 0;
    for (;;) {
        while (off < len && (std::isspace(static_cast<unsigned char>(buf[off])) || buf[off] == '\0'))
            ++off;
        if (off == len) {
            *consumed = len;
            return 0;
        }
        json_tokener_reset(tok.get());
        json_object *value = json_tokener_parse_ex(tok.get(), buf + off, static_cast<int>(len - off));
        if (json_tokener_get_error(tok.get()) != json_tokener_success)
            return -2;
        const size_t used = json_tokener_get_parse_end(tok.get());
        const int rc = fn(value, std::string_view(buf + off, used));
        json_object_put(value);
        if (rc < 0)
            return rc;
        off += used;
        *consumed = off;
    }
}
