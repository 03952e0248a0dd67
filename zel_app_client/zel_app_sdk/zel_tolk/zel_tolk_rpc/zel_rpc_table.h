// The records of the three tables the engine dispatches to: properties (keyed by their internal pair),
// actions (internal service and action ids) and methods (by name). The tables themselves live in
// zel_rpc_func.cpp; the worker takes the first row that matches.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Operations of a property handler.
enum { SPEC_OP_GET = 0, SPEC_OP_SET = 1, SPEC_OP_LOCAL = 2, SPEC_OP_PULLED = 5 };

// op 0: json is a `size`-byte output buffer for one reply element and the ids are the outward ones;
// op 1: json is the request element {"siid","piid","value"} of `size` bytes, internal ids;
// op 2: json is the plain value text of `size` bytes, internal ids; op 5: an element with "value".
typedef void (*spec_property_handler)(int id, int siid, int piid, int op, char *json, int size, bool notify);
// Whether a set's request element (op 1 input) holds a value its handler takes.
typedef bool (*spec_value_check)(const char *json, int size);
typedef struct spec_property_row {
    const char *key; // settings key, or "" where none
    int32_t siid;
    int32_t piid;
    uint8_t notify;
    spec_property_handler handler;
} spec_property_row_t;

// Writes the content of the reply's "out" array into `out` (`size` bytes, cleared).
typedef void (*spec_action_handler)(char *out, int size);
typedef struct spec_action_row {
    const char *name;
    int32_t siid;
    int32_t aiid;
    spec_action_handler handler; // none: the reply only
} spec_action_row_t;

// Gets the whole request text; sends its own reply.
typedef void (*spec_method_handler)(int id, const char *text, int length);
typedef struct spec_method_row {
    const char *method;
    spec_method_handler handler;
} spec_method_row_t;

typedef struct zel_rpc_tables {
    const spec_property_row_t *properties;
    size_t property_count;
    const spec_action_row_t *actions;
    size_t action_count;
    const spec_method_row_t *methods;
    size_t method_count;
} zel_rpc_tables_t;

// The tables in use.
const zel_rpc_tables_t *zel_rpc_tables(void);
// The first property row of an internal pair, or null.
const spec_property_row_t *spec_property_row(int siid, int piid);
// False when the row's handler would refuse the value of a set's request element: the set is then
// answered with an error and the handler not called.
bool spec_value_acceptable(const spec_property_row_t *row, const char *json, int size);

// Writes the get reply element {"did","siid","piid","value","code":0} with `value` as JSON text.
void spec_reply_element(char *buf, int size, int siid, int piid, const char *value);

#ifdef __cplusplus
}
#endif
