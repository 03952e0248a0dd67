// The settings INI layer: key forms, sections, the reader with its line classes, and the writer.
#include "zel_db/zel_db_iniparser.h"

#include "zel_control/log/zel_log.h"

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char *TAG = "ZEL_DB_SRV";
// Handed to the look-up as "a default was given", so that bare keys are looked up as they stand.
const char *const INVALID_KEY = reinterpret_cast<const char *>(-1);

int default_error_callback(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(stderr, format, args);
    va_end(args);
    return n;
}

int (*g_error_callback)(const char *, ...) = default_error_callback;

std::string lowercase(std::string_view text)
{
    std::string out(text.substr(0, ZEL_DB_KEY_MAX));
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view strip(std::string_view s)
{
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

// Splits like "%[^:]:%[^:]": a non-empty section, a colon and a non-empty key up to the next colon.
bool split_two(std::string_view name, std::string_view *section)
{
    const size_t colon = name.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon + 1 >= name.size() || name[colon + 1] == ':')
        return false;
    *section = name.substr(0, colon);
    return true;
}

bool is_section_entry(const dictionary *d, int i)
{
    return d->key[i] && !d->val[i] && !std::strchr(d->key[i], ':');
}

bool in_section(const char *key, std::string_view sec)
{
    return std::strncmp(key, sec.data(), sec.size()) == 0 && key[sec.size()] == ':';
}

enum class Line { Empty, Comment, Section, Value, Error };

Line parse_line(std::string_view line, std::string *section, std::string *key, std::string *value)
{
    while (!line.empty() && is_space(line.front()))
        line.remove_prefix(1);
    if (line.empty())
        return Line::Empty;
    if (line.front() == '#' || line.front() == ';')
        return Line::Comment;
    if (line.front() == '[' && line.back() == ']') {
        const std::string_view inner = line.substr(1);
        *section = lowercase(strip(inner.substr(0, inner.find(']'))));
        return Line::Section;
    }
    const size_t eq = line.find('=');
    if (eq == 0 || eq == std::string_view::npos)
        return Line::Error;
    *key = lowercase(strip(line.substr(0, eq)));
    std::string_view rest = line.substr(eq + 1);
    if (!rest.empty() && is_space(rest.front()))
        rest.remove_prefix(1);
    value->assign(rest);
    return Line::Value;
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

dictionary *load(const char *path, bool checked)
{
    if (!path)
        return nullptr;
    std::unique_ptr<FILE, FileCloser> in(std::fopen(path, "r"));
    if (!in)
        return nullptr;
    dictionary *d = dictionary_new(0);
    if (!d)
        return nullptr;
    auto line = std::make_unique<char[]>(ZEL_DB_INI_LINE_MAX + 2);
    std::string section;
    std::string key;
    std::string value;
    size_t last = 0;
    int lineno = 0;
    while (std::fgets(line.get() + last, static_cast<int>(ZEL_DB_INI_LINE_MAX + 2 - last), in.get())) {
        ++lineno;
        const size_t piece = std::strlen(line.get() + last);
        if (piece <= 1 && last == 0)
            continue;
        size_t len = last + piece;
        if (line[len - 1] != '\n' && !std::feof(in.get())) {
            g_error_callback("iniparser: input line too long in %s (%d)\n", path, lineno);
            ZEL_LOGE(TAG, "[%s %d] line %d of %s is too long\n", __func__, __LINE__, lineno, path);
            dictionary_del(d);
            return nullptr;
        }
        while (len > 0 && line[len - 1] == '\n')
            line[--len] = '\0';
        if (len > 0 && line[len - 1] == '\\') {
            last = len - 1;
            continue;
        }
        last = 0;
        int rc = 0;
        switch (parse_line(std::string_view(line.get(), len), &section, &key, &value)) {
        case Line::Section:
            rc = dictionary_set(d, section.c_str(), nullptr);
            break;
        case Line::Value:
            rc = dictionary_set(d, (section + ":" + key).c_str(), value.c_str());
            break;
        case Line::Error:
            if (checked) {
                ZEL_LOGE(TAG, "[%s %d] line %d of %s is not an INI line\n", __func__, __LINE__, lineno, path);
                dictionary_del(d);
                return nullptr;
            }
            break;
        case Line::Empty:
        case Line::Comment:
            break;
        }
        if (rc != 0) {
            g_error_callback("iniparser: memory allocation failure\n");
            ZEL_LOGE(TAG, "[%s %d] out of memory reading %s\n", __func__, __LINE__, path);
            break;
        }
    }
    if (std::ferror(in.get())) {
        ZEL_LOGE(TAG, "[%s %d] read error on %s\n", __func__, __LINE__, path);
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

// Text bytes only, but for the zero fill of an encrypted file's last block (under 16 bytes at the end).
bool is_plain_text(const char *path)
{
    std::unique_ptr<FILE, FileCloser> in(std::fopen(path, "rb"));
    if (!in)
        return false;
    unsigned char chunk[4096];
    long zeros = 0;
    long offset = 0;
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) {
        for (size_t i = 0; i < n; ++i, ++offset) {
            const unsigned char c = chunk[i];
            if (c == 0) {
                ++zeros;
                continue;
            }
            if (zeros > 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
                ZEL_LOGE(TAG, "[%s %d] %s holds a byte 0x%02x at %ld that is not text\n", __func__, __LINE__, path,
                         zeros > 0 ? 0 : c, zeros > 0 ? offset - zeros : offset);
                return false;
            }
        }
    }
    if (std::ferror(in.get()) || zeros >= 16) {
        ZEL_LOGE(TAG, "[%s %d] %s cannot be read or ends in %ld zero bytes\n", __func__, __LINE__, path, zeros);
        return false;
    }
    return true;
}

} // namespace

std::string zel_db_entry_key(std::string_view name)
{
    std::string_view section;
    if (split_two(name, &section))
        return lowercase(name);
    return lowercase(std::string("default:").append(name));
}

dictionary *zel_db_ini_load_checked(const char *path)
{
    return path && is_plain_text(path) ? load(path, true) : nullptr;
}

dictionary *iniparser_load(const char *path)
{
    return load(path, false);
}

void iniparser_freedict(dictionary *d)
{
    dictionary_del(d);
}

int iniparser_set(dictionary *d, const char *entry, const char *val)
{
    if (!d || !entry)
        return -1;
    std::string_view section;
    if (!split_two(entry, &section)) {
        ZEL_LOGD(TAG, "[%s %d],something error \n", __func__, __LINE__);
        section = "default";
    }
    const std::string sec = lowercase(section);
    if (iniparser_find_entry(d, sec.c_str()) == 0 && dictionary_set(d, sec.c_str(), nullptr) != 0)
        return -1;
    return dictionary_set(d, zel_db_entry_key(entry).c_str(), val);
}

void iniparser_unset(dictionary *d, const char *entry)
{
    if (d && entry)
        dictionary_unset(d, lowercase(entry).c_str());
}

const char *iniparser_getstring(const dictionary *d, const char *key, const char *def)
{
    if (!d || !key)
        return def;
    std::string_view section;
    if (!def && !split_two(key, &section)) {
        ZEL_LOGD(TAG, "[%s %d],section=%s tmp=%s\n", __func__, __LINE__, "default", key);
        return dictionary_get(d, zel_db_entry_key(key).c_str(), def);
    }
    return dictionary_get(d, lowercase(key).c_str(), def);
}

long iniparser_getlongint(const dictionary *d, const char *key, long notfound)
{
    const char *s = iniparser_getstring(d, key, INVALID_KEY);
    return s == INVALID_KEY || !s ? notfound : std::strtol(s, nullptr, 0);
}

int iniparser_getint(const dictionary *d, const char *key, int notfound)
{
    return static_cast<int>(iniparser_getlongint(d, key, notfound));
}

double iniparser_getdouble(const dictionary *d, const char *key, double notfound)
{
    const char *s = iniparser_getstring(d, key, INVALID_KEY);
    return s == INVALID_KEY || !s ? notfound : std::atof(s);
}

int iniparser_getboolean(const dictionary *d, const char *key, int notfound)
{
    const char *s = iniparser_getstring(d, key, INVALID_KEY);
    if (s == INVALID_KEY || !s)
        return notfound;
    if (std::strchr("yY1tT", s[0]) && s[0])
        return 1;
    if (std::strchr("nN0fF", s[0]) && s[0])
        return 0;
    return notfound;
}

int iniparser_find_entry(const dictionary *d, const char *entry)
{
    return d && entry && iniparser_getstring(d, entry, INVALID_KEY) != INVALID_KEY ? 1 : 0;
}

int iniparser_getnsec(const dictionary *d)
{
    if (!d)
        return -1;
    int n = 0;
    for (int i = 0; i < d->size; ++i)
        n += is_section_entry(d, i);
    return n;
}

const char *iniparser_getsecname(const dictionary *d, int n)
{
    if (!d || n < 0)
        return nullptr;
    for (int i = 0; i < d->size; ++i)
        if (is_section_entry(d, i) && n-- == 0)
            return d->key[i];
    return nullptr;
}

int iniparser_setsecname(dictionary *d, const char *name)
{
    if (!d || !name)
        return -1;
    return dictionary_set(d, lowercase(name).c_str(), nullptr);
}

int iniparser_getsecnkeys(const dictionary *d, const char *sec)
{
    if (!d || !sec || !iniparser_find_entry(d, sec))
        return 0;
    const std::string s = lowercase(sec);
    int n = 0;
    for (int i = 0; i < d->size; ++i)
        n += d->key[i] && in_section(d->key[i], s);
    return n;
}

const char **iniparser_getseckeys(const dictionary *d, const char *sec, const char **keys)
{
    if (!d || !sec || !keys || !iniparser_find_entry(d, sec))
        return nullptr;
    const std::string s = lowercase(sec);
    int n = 0;
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && in_section(d->key[i], s))
            keys[n++] = d->key[i];
    return keys;
}

void iniparser_dump(const dictionary *d, FILE *out)
{
    if (!d || !out)
        return;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i])
            continue;
        if (d->val[i])
            std::fprintf(out, "[%s]=[%s]\n", d->key[i], d->val[i]);
        else
            std::fprintf(out, "[%s]=UNDEF\n", d->key[i]);
    }
}

void iniparser_dumpsection_ini(const dictionary *d, const char *sec, FILE *out)
{
    if (!d || !sec || !out || !iniparser_find_entry(d, sec))
        return;
    const std::string s = lowercase(sec);
    std::fprintf(out, "\n[%s]\n", s.c_str());
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && in_section(d->key[i], s))
            std::fprintf(out, "%-30s = %s\n", d->key[i] + s.size() + 1, d->val[i] ? d->val[i] : "");
    std::fprintf(out, "\n");
}

void iniparser_dump_ini(const dictionary *d, FILE *out)
{
    if (!d || !out)
        return;
    const int nsec = iniparser_getnsec(d);
    ZEL_LOGD(TAG, "[%s %d] nsec=%d \n", __func__, __LINE__, nsec);
    if (nsec < 1) {
        for (int i = 0; i < d->size; ++i)
            if (d->key[i])
                std::fprintf(out, "%s = %s\n", d->key[i], d->val[i] ? d->val[i] : "");
        return;
    }
    for (int i = 0; i < d->size; ++i) {
        if (!is_section_entry(d, i))
            continue;
        ZEL_LOGD(TAG, "[%s %d] i=%d sec=%s \n", __func__, __LINE__, i, d->key[i]);
        iniparser_dumpsection_ini(d, d->key[i], out);
    }
    std::fprintf(out, "\n");
}

void iniparser_set_error_callback(int (*errback)(const char *, ...))
{
    g_error_callback = errback ? errback : default_error_callback;
}
