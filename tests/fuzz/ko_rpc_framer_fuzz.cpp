// Feeds the RPC link's framer a byte stream in reads of fuzzer-chosen sizes and checks that it gives
// exactly the objects a whole-stream scan finds (string-aware brace matching, objects that do not
// fit the receive buffer dropped), up to where the stream goes out of step (a byte between objects
// that is neither white space nor "{", or an object still open kMaxObject bytes after its start).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/rpc/ko_rpc_framer.h"

namespace {

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
            } else if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
                break;
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
            if (i + 1 - start <= ko_rpc::Framer::kCapacity - 1)
                out.push_back(s.substr(start, i + 1 - start));
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
            if (len == 0 || obj[0] != '{' || obj[len - 1] != '}')
                std::abort();
            got.emplace_back(obj, len);
            framer.pop();
        }
    }
    if (got != reference(stream)) {
        std::fprintf(stderr, "framer gave %zu objects, a whole scan %zu\n", got.size(), reference(stream).size());
        std::abort();
    }
    return 0;
}
