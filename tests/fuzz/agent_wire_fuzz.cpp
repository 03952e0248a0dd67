// Feeds one agent-bus packet to the splitter into JSON texts, and each text to the json_verify
// readers with the members the bus uses.
#include "zel_app_agent_client/agent_wire.h"
#include "zel_app_agent_client/json_verify.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void read_members(const std::string &text)
{
    const char *t = text.c_str();
    char buf[64];
    int n = 0;
    const int want = 7;
    json_verify(t);
    json_verify_method(t, "method");
    json_verify_method_value(t, "id", &want, JSON_VERIFY_TYPE_INT);
    json_verify_method_value(t, "result", "OK", JSON_VERIFY_TYPE_STRING);
    json_verify_get_int(t, "id", &n);
    std::memset(buf, 0x7f, sizeof buf);
    json_verify_get_string(t, "method", buf, sizeof buf);
    json_verify_get_object_string(t, "params", buf, sizeof buf);
    if (json_verify_get_array(t, "params", buf, sizeof buf) == 0 && !memchr(buf, '\0', sizeof buf))
        abort();
    json_verify_get_boolean(t, "is_register", &n);
    json_verify_get_string(t, "result", buf, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > static_cast<size_t>(ZEL_AGENT_PACKET_MAX))
        return -1;
    const char *buf = reinterpret_cast<const char *>(data);
    size_t consumed = 0;
    size_t seen = 0;
    zel_agent_split_texts(
        buf, size,
        [&](json_object *, std::string_view text) {
            if (text.data() < buf + seen || text.data() + text.size() > buf + size)
                abort();
            seen = static_cast<size_t>(text.data() + text.size() - buf);
            read_members(std::string(text));
            return 0;
        },
        &consumed);
    if (consumed > size)
        abort();
    // The whole packet as one text, as the readers get a reply text.
    read_members(std::string(buf, size));
    return 0;
}
