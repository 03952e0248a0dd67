// The settings dictionary: linear slot walks comparing hashes first, growth by doubling.
#include "zel_db/zel_db_dictionary.h"

#include "zel_control/container/zel_dict.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int MIN_SLOTS = 128;

int find_slot(const dictionary *d, const char *key)
{
    const uint32_t h = dictionary_hash(key);
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && d->hash[i] == h && std::strcmp(d->key[i], key) == 0)
            return i;
    return -1;
}

char *copy_or_null(const char *text)
{
    return text ? strdup(text) : nullptr;
}

template <typename T> bool grow_array(T *&array, int old_size, int new_size)
{
    auto *bigger = static_cast<T *>(std::realloc(array, sizeof(T) * static_cast<size_t>(new_size)));
    if (!bigger)
        return false;
    std::memset(bigger + old_size, 0, sizeof(T) * static_cast<size_t>(new_size - old_size));
    array = bigger;
    return true;
}

bool grow(dictionary *d)
{
    if (d->size > (1 << 29))
        return false;
    const int new_size = d->size * 2;
    // Each array keeps its contents even when a later one fails, so a failed growth loses nothing.
    if (!grow_array(d->val, d->size, new_size) || !grow_array(d->key, d->size, new_size) ||
        !grow_array(d->hash, d->size, new_size))
        return false;
    d->size = new_size;
    return true;
}

} // namespace

uint32_t zel_db_hash(const char *text, size_t len)
{
    return zel_string_hash(std::string(text, len).c_str());
}

uint32_t dictionary_hash(const char *key)
{
    return zel_string_hash(key);
}

dictionary *dictionary_new(int size)
{
    if (size < MIN_SLOTS)
        size = MIN_SLOTS;
    auto *d = static_cast<dictionary *>(std::calloc(1, sizeof(dictionary)));
    if (!d)
        return nullptr;
    d->size = size;
    d->val = static_cast<char **>(std::calloc(static_cast<size_t>(size), sizeof(char *)));
    d->key = static_cast<char **>(std::calloc(static_cast<size_t>(size), sizeof(char *)));
    d->hash = static_cast<uint32_t *>(std::calloc(static_cast<size_t>(size), sizeof(uint32_t)));
    if (!d->val || !d->key || !d->hash) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

void dictionary_del(dictionary *d)
{
    if (!d)
        return;
    for (int i = 0; d->key && d->val && i < d->size; ++i) {
        std::free(d->key[i]);
        std::free(d->val[i]);
    }
    std::free(d->val);
    std::free(d->key);
    std::free(d->hash);
    std::free(d);
}

const char *dictionary_get(const dictionary *d, const char *key, const char *def)
{
    if (!d || !key)
        return def;
    const int i = find_slot(d, key);
    return i < 0 ? def : d->val[i];
}

int dictionary_set(dictionary *d, const char *key, const char *val)
{
    if (!d || !key)
        return -1;
    if (d->n > 0) {
        const int i = find_slot(d, key);
        if (i >= 0) {
            char *copy = copy_or_null(val);
            if (val && !copy)
                return -1;
            std::free(d->val[i]);
            d->val[i] = copy;
            return 0;
        }
    }
    if (d->n == d->size && !grow(d))
        return -1;
    int slot = d->n;
    while (d->key[slot])
        slot = (slot + 1) % d->size;
    char *key_copy = strdup(key);
    char *val_copy = copy_or_null(val);
    if (!key_copy || (val && !val_copy)) {
        std::free(key_copy);
        std::free(val_copy);
        return -1;
    }
    d->key[slot] = key_copy;
    d->val[slot] = val_copy;
    d->hash[slot] = dictionary_hash(key);
    d->n++;
    return 0;
}

void dictionary_unset(dictionary *d, const char *key)
{
    if (!d || !key)
        return;
    const int i = find_slot(d, key);
    if (i < 0)
        return;
    std::free(d->key[i]);
    std::free(d->val[i]);
    d->key[i] = nullptr;
    d->val[i] = nullptr;
    d->hash[i] = 0;
    d->n--;
}

void dictionary_dump(const dictionary *d, FILE *out)
{
    if (!d || !out)
        return;
    if (d->n <= 0) {
        std::fprintf(out, "empty dictionary\n");
        return;
    }
    for (int i = 0; i < d->size; ++i)
        if (d->key[i])
            std::fprintf(out, "%20s\t[%s]\n", d->key[i], d->val[i] ? d->val[i] : "UNDEF");
}

int zel_db_hashmap_set(dictionary *d, const char *key, const char *val)
{
    return dictionary_set(d, key, val);
}

const char *zel_db_hashmap_get(const dictionary *d, const char *key, const char *def)
{
    return dictionary_get(d, key, def);
}

void zel_db_hashmap_unset(dictionary *d, const char *key)
{
    dictionary_unset(d, key);
}
