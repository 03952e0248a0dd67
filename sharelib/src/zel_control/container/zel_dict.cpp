// The chained hash dictionary: buckets of singly linked nodes, rebuilt with twice the buckets above
// a load of 0.8 and with fewer below 0.3. Also the string and 32-bit integer key operations.
#include "zel_control/container/zel_dict.h"

#include <stdlib.h>
#include <string.h>

#include "zel_control/container/zel_malloc.h"
#include "zel_control/utils/zel_error.h"

struct zel_dict_iter {
    const zel_dict_t *dict;
    int bucket;             // next bucket to enter
    zel_dict_node_t *node;  // next node to hand out
};

namespace {

constexpr int kMinBuckets = 32;

uint32_t string_hash_op(const void *key) { return zel_string_hash(static_cast<const char *>(key)); }
int string_compare_op(const void *stored, const void *key)
{
    return strcmp(static_cast<const char *>(stored), static_cast<const char *>(key));
}
void *string_duplicate_op(const void *key) { return zel_clone_string(static_cast<const char *>(key)); }
void string_release_op(void *key) { zel_release_string(static_cast<char *>(key)); }

zel_dict_node_t **bucket_of(const zel_dict_t *d, uint32_t hash)
{
    return &d->buckets[hash % static_cast<uint32_t>(d->bucket_count)];
}

zel_dict_node_t *find(const zel_dict_t *d, const void *key, uint32_t hash)
{
    for (zel_dict_node_t *n = *bucket_of(d, hash); n; n = n->next)
        if (n->hash == hash && d->compare(n->key, key) == 0)
            return n;
    return nullptr;
}

// Moves every node into a table of `buckets` chains: buckets from 0 upwards, each chain from its
// front, each node put at the front of its new chain.
int rebuild(zel_dict_t *d, int buckets)
{
    auto **table =
        static_cast<zel_dict_node_t **>(__zel_malloc0(sizeof(zel_dict_node_t *) * static_cast<size_t>(buckets)));
    if (!table)
        return ZEL_ENOMEM;
    for (int b = 0; b < d->bucket_count; ++b) {
        zel_dict_node_t *n = d->buckets[b];
        while (n) {
            zel_dict_node_t *next = n->next;
            zel_dict_node_t **chain = &table[n->hash % static_cast<uint32_t>(buckets)];
            n->next = *chain;
            *chain = n;
            n = next;
        }
    }
    free(d->buckets);
    d->buckets = table;
    d->bucket_count = buckets;
    return ZEL_OK;
}

} // namespace

extern "C" {

zel_dict_t *zel_dict_create(int capacity)
{
    return zel_dict_create_ex(capacity, string_hash_op, string_compare_op, string_duplicate_op, string_release_op);
}

zel_dict_t *zel_dict_create_ex(int capacity, zel_dict_hash_fn hash, zel_dict_compare_fn compare,
                               zel_dict_duplicate_fn duplicate, zel_dict_release_fn release)
{
    if (!hash || !compare)
        return nullptr;
    auto *d = static_cast<zel_dict_t *>(__zel_malloc0(sizeof(zel_dict_t)));
    if (!d)
        return nullptr;
    d->initial = capacity;
    d->bucket_count = capacity < kMinBuckets ? kMinBuckets : capacity;
    d->buckets = static_cast<zel_dict_node_t **>(
        __zel_malloc0(sizeof(zel_dict_node_t *) * static_cast<size_t>(d->bucket_count)));
    if (!d->buckets) {
        free(d);
        return nullptr;
    }
    d->hash = hash;
    d->compare = compare;
    d->duplicate = duplicate;
    d->release = release;
    return d;
}

void zel_dict_release(zel_dict_t *dict)
{
    if (!dict)
        return;
    for (int b = 0; b < dict->bucket_count; ++b) {
        zel_dict_node_t *n = dict->buckets[b];
        while (n) {
            zel_dict_node_t *next = n->next;
            if (dict->release)
                dict->release(n->key);
            free(n);
            n = next;
        }
    }
    free(dict->buckets);
    free(dict);
}

int zel_dict_set(zel_dict_t *dict, const void *key, void *value, void **old)
{
    if (old)
        *old = nullptr;
    if (!dict || !key || !value)
        return ZEL_EINVAL;
    if (dict->count + 1 > dict->bucket_count * 4 / 5 && dict->bucket_count <= INT32_MAX / 2 &&
        rebuild(dict, dict->bucket_count * 2) != ZEL_OK)
        return ZEL_ENOMEM;
    const uint32_t hash = dict->hash(key);
    if (zel_dict_node_t *n = find(dict, key, hash)) {
        if (old)
            *old = n->value;
        n->value = value;
        return ZEL_OK;
    }
    auto *n = static_cast<zel_dict_node_t *>(__zel_malloc0(sizeof(zel_dict_node_t)));
    if (!n)
        return ZEL_ENOMEM;
    n->key = dict->duplicate ? dict->duplicate(key) : const_cast<void *>(key);
    if (!n->key) {
        free(n);
        return ZEL_ENOMEM;
    }
    n->value = value;
    n->hash = hash;
    zel_dict_node_t **chain = bucket_of(dict, hash);
    n->next = *chain;
    *chain = n;
    ++dict->count;
    return ZEL_OK;
}

void *zel_dict_get(const zel_dict_t *dict, const void *key, void *default_value)
{
    if (!dict || !key)
        return default_value;
    zel_dict_node_t *n = find(dict, key, dict->hash(key));
    return n ? n->value : default_value;
}

int zel_dict_is_key_exist(const zel_dict_t *dict, const void *key)
{
    return dict && key && find(dict, key, dict->hash(key)) ? 1 : 0;
}

void *zel_dict_remove(zel_dict_t *dict, const void *key)
{
    if (!dict || !key)
        return nullptr;
    if (dict->count - 1 < dict->bucket_count * 3 / 10) {
        const int buckets = dict->bucket_count < 66 ? kMinBuckets : dict->bucket_count / 2;
        // A failed shrink leaves the larger table, which still works.
        if (buckets < dict->bucket_count)
            (void)rebuild(dict, buckets);
    }
    const uint32_t hash = dict->hash(key);
    for (zel_dict_node_t **link = bucket_of(dict, hash); *link; link = &(*link)->next) {
        zel_dict_node_t *n = *link;
        if (n->hash != hash || dict->compare(n->key, key) != 0)
            continue;
        *link = n->next;
        void *value = n->value;
        if (dict->release)
            dict->release(n->key);
        free(n);
        --dict->count;
        return value;
    }
    return nullptr;
}

int zel_dict_get_size(const zel_dict_t *dict) { return dict ? dict->count : ZEL_EINVAL; }
int zel_dict_get_capacity(const zel_dict_t *dict) { return dict ? dict->bucket_count : ZEL_EINVAL; }

zel_dict_iter_t *zel_dict_get_iterator(const zel_dict_t *dict)
{
    if (!dict)
        return nullptr;
    auto *it = static_cast<zel_dict_iter_t *>(__zel_malloc0(sizeof(zel_dict_iter_t)));
    if (it)
        it->dict = dict;
    return it;
}

int zel_dict_iter_get_next(zel_dict_iter_t *it, const void **key, void **value)
{
    if (!it)
        return 0;
    while (!it->node && it->bucket < it->dict->bucket_count)
        it->node = it->dict->buckets[it->bucket++];
    if (!it->node)
        return 0;
    if (key)
        *key = it->node->key;
    if (value)
        *value = it->node->value;
    it->node = it->node->next;
    return 1;
}

void zel_dict_release_iterator(zel_dict_iter_t *it)
{
    free(it);
}

uint32_t int32_hash(const void *key)
{
    return static_cast<uint32_t>(*static_cast<const int32_t *>(key));
}

int int32_comparer(const void *stored, const void *key)
{
    const int64_t a = *static_cast<const int32_t *>(stored);
    const int64_t b = *static_cast<const int32_t *>(key);
    return a == b ? 0 : (a < b ? -1 : 1);
}

void *int32_duplicate(const void *key)
{
    auto *copy = static_cast<int32_t *>(malloc(sizeof(int32_t)));
    if (copy)
        *copy = *static_cast<const int32_t *>(key);
    return copy;
}

void int32_release(void *key)
{
    free(key);
}

uint32_t zel_string_hash(const char *s)
{
    uint32_t h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); p && *p; ++p) {
        h += *p;
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

char *zel_clone_string(const char *s)
{
    return s ? strdup(s) : nullptr;
}

void zel_release_string(char *s)
{
    free(s);
}

} // extern "C"
