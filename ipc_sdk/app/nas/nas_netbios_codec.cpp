// NetBIOS name-service packets (see nas_netbios_codec.h).
#include "app/nas/nas_netbios_codec.h"

#include <cstring>

namespace {

constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kFlagRecursion = 0x0100;
constexpr uint16_t kFlagBroadcast = 0x0010;
constexpr uint16_t kTypeNb = 0x0020;
constexpr uint16_t kTypeNbstat = 0x0021;
constexpr uint16_t kClassIn = 0x0001;
constexpr size_t kStatusEntryLen = 18;

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// First-level encoding of a 16-byte NetBIOS name: each half-byte as 'A' + value.
void encode_name(uint8_t *out, const uint8_t raw[16])
{
    out[0] = 32;
    for (int i = 0; i < 16; ++i) {
        out[1 + 2 * i] = static_cast<uint8_t>('A' + (raw[i] >> 4));
        out[2 + 2 * i] = static_cast<uint8_t>('A' + (raw[i] & 0x0f));
    }
    out[33] = 0;
}

size_t build(uint8_t *out, size_t size, uint16_t trn_id, uint16_t flags, const uint8_t raw[16], uint16_t type)
{
    if (!out || size < NAS_NB_QUERY_LEN)
        return 0;
    std::memset(out, 0, NAS_NB_QUERY_LEN);
    put16(out, trn_id);
    put16(out + 2, flags);
    put16(out + 4, 1); // one question
    encode_name(out + NAS_NB_HEADER_LEN, raw);
    put16(out + NAS_NB_HEADER_LEN + NAS_NB_ENCODED_NAME_LEN, type);
    put16(out + NAS_NB_HEADER_LEN + NAS_NB_ENCODED_NAME_LEN + 2, kClassIn);
    return NAS_NB_QUERY_LEN;
}

// Skips a (possibly compressed) domain name at `pos`; the position after it, or 0 when it runs
// past the end. A pointer ends the name, so a pointer loop is never followed.
size_t skip_name(const uint8_t *buf, size_t len, size_t pos)
{
    for (int labels = 0; pos < len && labels < 64; ++labels) {
        const uint8_t n = buf[pos];
        if (n == 0)
            return pos + 1;
        if ((n & 0xc0) == 0xc0)
            return pos + 2 <= len ? pos + 2 : 0;
        if (n & 0xc0)
            return 0;
        pos += 1u + n;
    }
    return 0;
}

void copy_name(char out[16], const uint8_t *raw)
{
    size_t n = 15;
    while (n > 0 && (raw[n - 1] == ' ' || raw[n - 1] == '\0'))
        --n;
    for (size_t i = 0; i < n; ++i)
        out[i] = raw[i] >= 0x20 && raw[i] < 0x7f ? static_cast<char>(raw[i]) : '?';
    out[n] = '\0';
}

} // namespace

size_t nas_nb_build_name_query(uint8_t *out, size_t size, uint16_t trn_id, const char *name, uint8_t suffix,
                               int broadcast)
{
    if (!name)
        return 0;
    const size_t n = std::strlen(name);
    if (n == 0 || n > 15)
        return 0;
    uint8_t raw[16];
    const bool wildcard = n == 1 && name[0] == '*';
    std::memset(raw, wildcard ? 0 : ' ', 15);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        raw[i] = c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c;
    }
    raw[15] = suffix;
    return build(out, size, trn_id, static_cast<uint16_t>(kFlagRecursion | (broadcast ? kFlagBroadcast : 0)), raw,
                 kTypeNb);
}

size_t nas_nb_build_node_status(uint8_t *out, size_t size, uint16_t trn_id)
{
    uint8_t raw[16] = {'*'};
    return build(out, size, trn_id, 0, raw, kTypeNbstat);
}

int nas_nb_parse(const uint8_t *buf, size_t len, nas_nb_reply *out)
{
    if (!buf || !out || len < NAS_NB_HEADER_LEN)
        return -1;
    std::memset(out, 0, sizeof *out);
    const uint16_t flags = get16(buf + 2);
    if (!(flags & kFlagResponse) || (flags & 0x000f) != 0)
        return -1; // a request, or an answer with an error code
    const uint16_t questions = get16(buf + 4);
    const uint16_t answers = get16(buf + 6);
    if (answers == 0)
        return -1;
    out->trn_id = get16(buf);
    size_t pos = NAS_NB_HEADER_LEN;
    for (uint16_t q = 0; q < questions; ++q) {
        pos = skip_name(buf, len, pos);
        if (pos == 0 || pos + 4 > len)
            return -1;
        pos += 4;
    }
    pos = skip_name(buf, len, pos);
    if (pos == 0 || pos + 10 > len)
        return -1;
    const uint16_t type = get16(buf + pos);
    const uint16_t rdlength = get16(buf + pos + 8);
    pos += 10;
    if (rdlength > len - pos)
        return -1;
    const uint8_t *rdata = buf + pos;
    if (type == kTypeNb) {
        if (rdlength < 6)
            return -1;
        out->kind = NAS_NB_REPLY_NAME;
        for (size_t off = 0; off + 6 <= rdlength && out->addr_count < NAS_NB_MAX_ADDRS; off += 6) {
            uint32_t addr;
            std::memcpy(&addr, rdata + off + 2, 4);
            out->addrs[out->addr_count++] = addr;
        }
        return 0;
    }
    if (type == kTypeNbstat) {
        if (rdlength < 1)
            return -1;
        const size_t count = rdata[0];
        if (count == 0 || 1 + count * kStatusEntryLen > rdlength)
            return -1;
        out->kind = NAS_NB_REPLY_STATUS;
        for (size_t i = 0; i < count && out->name_count < NAS_NB_MAX_NAMES; ++i) {
            const uint8_t *entry = rdata + 1 + i * kStatusEntryLen;
            nas_nb_name &name = out->names[out->name_count++];
            copy_name(name.name, entry);
            name.suffix = entry[15];
            name.group = (get16(entry + 16) & 0x8000) ? 1 : 0;
        }
        return 0;
    }
    return -1;
}

int nas_nb_status_names(const nas_nb_reply *reply, char host[16], char group[16])
{
    if (!reply || reply->kind != NAS_NB_REPLY_STATUS)
        return -1;
    host[0] = group[0] = '\0';
    for (int i = 0; i < reply->name_count; ++i) {
        const nas_nb_name &n = reply->names[i];
        if (!n.group && !host[0] && n.name[0] &&
            (n.suffix == NAS_NB_SUFFIX_WORKSTATION || n.suffix == NAS_NB_SUFFIX_SERVER))
            std::memcpy(host, n.name, 16);
        if (n.group && !group[0] && n.suffix == NAS_NB_SUFFIX_WORKSTATION)
            std::memcpy(group, n.name, 16);
    }
    return host[0] ? 0 : -1;
}
