// Feeds a settings store file (decrypted text of any content) to both INI readers, then walks the
// dictionary through the section calls and the writers; a checked load written out must load back
// checked with the same entries (when every key line stands in a section and no header holds a colon, as in the files we write).
#include "zel_db/zel_db_iniparser.h"
#include "zel_fuzz_root.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int quiet(const char *, ...)
{
    return 0;
}

void walk(const dictionary *d, FILE *out)
{
    const int nsec = iniparser_getnsec(d);
    for (int i = 0; i < nsec; ++i) {
        const char *sec = iniparser_getsecname(d, i);
        if (!sec)
            abort();
        const int n = iniparser_getsecnkeys(d, sec);
        std::vector<const char *> keys(static_cast<size_t>(n) + 1);
        if (n > 0 && !iniparser_getseckeys(d, sec, keys.data()))
            abort();
        for (int k = 0; k < n; ++k) {
            iniparser_getstring(d, keys[k], nullptr);
            iniparser_getint(d, keys[k], 0);
            iniparser_getdouble(d, keys[k], 0);
            iniparser_getboolean(d, keys[k], -1);
        }
    }
    iniparser_dump(d, out);
}

bool outside_sections(const dictionary *d)
{
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && (d->key[i][0] == ':' || (!d->val[i] && std::strchr(d->key[i], ':'))))
            return true;
    return false;
}

bool same(const dictionary *a, const dictionary *b)
{
    if (a->n != b->n)
        return false;
    for (int i = 0; i < a->size; ++i) {
        if (!a->key[i])
            continue;
        const char *v = dictionary_get(b, a->key[i], reinterpret_cast<const char *>(-1));
        if (v == reinterpret_cast<const char *>(-1))
            return false;
        if ((v == nullptr) != (a->val[i] == nullptr) || (v && std::strcmp(v, a->val[i]) != 0))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zelfuzz::root();
    iniparser_set_error_callback(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string in = zelfuzz::root().path("/var/run/in.ini");
    static const std::string out = zelfuzz::root().path("/var/run/out.ini");
    static FILE *null_out = fopen("/dev/null", "w");
    if (!zelfuzz::root().write("/var/run/in.ini", data, size))
        abort();
    if (dictionary *d = iniparser_load(in.c_str())) {
        walk(d, null_out);
        iniparser_freedict(d);
    }
    dictionary *d = zel_db_ini_load_checked(in.c_str());
    if (!d)
        return 0;
    if (outside_sections(d)) {
        iniparser_freedict(d);
        return 0;
    }
    walk(d, null_out);
    FILE *f = fopen(out.c_str(), "w");
    if (!f)
        abort();
    iniparser_dump_ini(d, f);
    if (fclose(f) != 0)
        abort();
    dictionary *back = zel_db_ini_load_checked(out.c_str());
    if (!back || !same(d, back) || !same(back, d))
        abort();
    iniparser_freedict(back);
    iniparser_freedict(d);
    return 0;
}
