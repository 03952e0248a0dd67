// Feeds the RPC link's framer a byte stream in reads of fuzzer-chosen sizes and checks it against a
// whole-stream scan: up to the first object that is not JSON, it gives exactly the objects that
// string-aware brace matching finds (objects that do not fit the receive buffer dropped), up to where
// the stream goes out of step (an object still open kMaxObject bytes after its start), bytes
// between objects ignored; everything it gives is a whole JSON object.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/rpc/ko_rpc_framer.h"

namespace {

// Recursive descent over one value at `pos` (white space before it skipped); the offset after
// it, or npos. Literals are runs of their characters, as the framer takes them.
size_t value_end(const std::string &s, size_t pos, int depth = 0);

size_t skip_space(const std::string &s, size_t pos)
{
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\r' || s[pos] == '\t'))
        ++pos;
    return pos;
}

size_t string_end(const std::string &s, size_t pos)
{
    for (++pos; pos < s.size(); ++pos) {
        if (s[pos] == '\\')
            ++pos;
        else if (s[pos] == '"')
            return pos + 1;
    }
    return std::string::npos;
}

size_t members_end(const std::string &s, size_t pos, char close, int depth)
{
    pos = skip_space(s, pos + 1);
    if (pos < s.size() && s[pos] == close)
        return pos + 1;
    for (;;) {
        if (close == '}') {
            if (pos >= s.size() || s[pos] != '"' || (pos = string_end(s, pos)) == std::string::npos)
                return std::string::npos;
            pos = skip_space(s, pos);
            if (pos >= s.size() || s[pos] != ':')
                return std::string::npos;
            ++pos;
        }
        if ((pos = value_end(s, pos, depth + 1)) == std::string::npos)
            return std::string::npos;
        pos = skip_space(s, pos);
        if (pos >= s.size())
            return std::string::npos;
        if (s[pos] == close)
            return pos + 1;
        if (s[pos] != ',')
            return std::string::npos;
        pos = skip_space(s, pos + 1);
    }
}

size_t value_end(const std::string &s, size_t pos, int depth)
{
    pos = skip_space(s, pos);
    if (pos >= s.size() || depth > 2000)
        return std::string::npos;
    const char c = s[pos];
    if (c == '{' || c == '[')
        return members_end(s, pos, c == '{' ? '}' : ']', depth);
    if (c == '"')
        return string_end(s, pos);
    if (c != '-' && c != 't' && c != 'f' && c != 'n' && !std::isdigit(static_cast<unsigned char>(c)))
        return std::string::npos;
    // Not strchr: it would find a NUL byte (the terminator) and take it into the literal.
    while (pos < s.size() && (std::isalnum(static_cast<unsigned char>(s[pos])) || s[pos] == '+' ||
                              s[pos] == '-' || s[pos] == '.'))
        ++pos;
    return pos;
}

bool whole_object(const std::string &obj)
{
    return !obj.empty() && obj[0] == '{' && value_end(obj, 0) == obj.size();
}

std::vector<std::string> reference(const std::string &s)
{
    std::vector<std::string> out;
    size_t start = 0;
    int depth = 0;
    bool in_string = false, escape = false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (depth == 0) {
            if (c == '{') {
                depth = 1;
                start = i;
            }
        } else if (i + 1 - start > ko_rpc::Framer::kMaxObject) {
            break;
        } else if (in_string) {
            if (escape)
                escape = false;
            else if (c == '\\')
                escape = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            const std::string obj = s.substr(start, i + 1 - start);
            if (!whole_object(obj))
                break; // from here on the framer resynchronises
            if (obj.size() <= ko_rpc::Framer::kCapacity - 1)
                out.push_back(obj);
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    // The first two bytes pick the read size, the third how often the rest is repeated, so that
    // short inputs still make streams with objects larger than the receive buffer.
    const size_t step = 1 + data[0] % 64 * (1 + data[1] % 128);
    const std::string body(reinterpret_cast<const char *>(data) + 3, size - 3);
    std::string stream;
    for (int i = 1 + data[2] % 8; i > 0; --i)
        stream += body;
    ko_rpc::Framer framer;
    std::vector<std::string> got;
    size_t pos = 0;
    // A stream out of step is where the link hangs up.
    while (pos < stream.size() && framer.fault() == ko_rpc::Framer::Fault::none) {
        const size_t room = framer.space_left();
        if (room == 0) {
            std::fprintf(stderr, "no room left with %zu bytes held\n", framer.held());
            std::abort();
        }
        const size_t n = std::min({step, stream.size() - pos, room});
        std::memcpy(framer.space(), stream.data() + pos, n);
        framer.commit(n);
        pos += n;
        const char *obj;
        size_t len;
        while (framer.next(&obj, &len)) {
            if (!whole_object(std::string(obj, len)))
                std::abort();
            got.emplace_back(obj, len);
            framer.pop();
        }
    }
    const std::vector<std::string> want = reference(stream);
    if (got.size() < want.size() || !std::equal(want.begin(), want.end(), got.begin())) {
        std::fprintf(stderr, "framer gave %zu objects, a whole scan %zu\n", got.size(), want.size());
        std::abort();
    }
    return 0;
}
