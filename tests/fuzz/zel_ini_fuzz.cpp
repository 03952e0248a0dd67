// Feeds a text to the INI reader, reads every key back through the getters, and checks that the
// document written out reads back with the same sections, keys and values. A document holding a key
// that starts like a header or a comment (the reader takes one from a line beginning with "=") is
// not written: its key line would read back as that header or comment.
#include "zel_control/ini/zel_ini.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int kOut = 1 << 20;

int odd = 0;

// Every key of `a` is in `b` (when given) with the same value; the number of keys seen.
int contained(const zel_ini_t *a, const zel_ini_t *b)
{
    int keys = 0;
    zel_ini_iterator_t *it = zel_ini_get_iterator(a);
    const char *name = nullptr;
    zel_ini_section_t *section = nullptr;
    while (zel_ini_get_next_section(it, &name, &section)) {
        zel_ini_section_iterator_t *sit = zel_ini_get_section_iterator(section);
        const char *key = nullptr;
        const char *value = nullptr;
        while (zel_ini_get_next(sit, &key, &value)) {
            if (key[0] == '[' || key[0] == '#')
                ++odd;
            ++keys;
            zel_ini_get_int(a, name, key, 0);
            zel_ini_get_float(a, name, key, 0);
            zel_ini_get_bool(a, name, key, 0);
            const char *other = b ? zel_ini_get_string(b, name, key, nullptr) : value;
            if (!other || std::strcmp(other, value) != 0)
                abort();
        }
        zel_ini_section_iterator_release(sit);
    }
    zel_ini_iterator_release(it);
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    zel_ini_t *doc = zel_ini_parse(text.c_str());
    if (!doc)
        return 0;
    odd = 0;
    contained(doc, nullptr);
    static const std::unique_ptr<char[]> out(new char[kOut]);
    const int n = odd ? -1 : zel_ini_save_buffer(doc, out.get(), kOut);
    if (n >= 0) {
        zel_ini_t *back = zel_ini_parse(out.get());
        if (!back)
            abort();
        // Empty sections are written but hold no key, so compare the keys both ways.
        if (contained(doc, back) != contained(back, doc))
            abort();
        zel_ini_release(back);
    }
    zel_ini_release(doc);
    return 0;
}
