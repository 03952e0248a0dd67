// The property families: one routine per kind of property (boolean, integer, text, JSON object,
// read-only, constant), driven by a row record that names the settings key, the order of the steps of
// a change (W write, R report, D device call) and the device call. The named handlers of the table
// are instances of these routines; the settings database holds every value.
#pragma once

#include <string>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"

namespace zel_rpc {

// The stored value of `key` read with `size` bytes; false (and `out` empty) when absent or unreadable.
bool db_read(const char *key, std::string &out, int size = 4096);
// Writes `value` (persist: saved now, a failed save only logged); false, logged, when the store
// refuses it.
bool db_write(const char *key, const std::string &value, bool persist);

// A whole decimal integer of 32 bits.
bool parse_int(const std::string &text, int *out);
// `text` when it parses as one JSON array, else null.
JsonPtr array_of(const std::string &text);

// The element's "value" by type; a member of another type gives the default (false, 0, empty).
bool value_bool(const char *json, int size);
int value_int(const char *json, int size);
std::string value_text(const char *json, int size);
// The element's "value" when it is a JSON string (pulled values arrive as strings).
bool value_string(const char *json, int size, std::string &out);

// A reply element whose value is JSON text (a number, true/false, an object).
void reply_value(char *json, int size, int siid, int piid, const std::string &value);
// A reply element whose value is `text` as an escaped JSON string.
void reply_text(char *json, int size, int siid, int piid, const std::string &text);

// The change of a stored value in the row's order: W writes `stored` (persist), R reports `report` as
// `kind` when notify, D runs `device`. A failed write ends the change there, logged, unreported.
bool step_write(const char *key, const std::string &stored);
void step_report(int siid, int piid, int kind, const std::string &report, bool notify);

template <typename Device>
void run_steps(const char *order, const char *key, const std::string &stored, int siid, int piid, int kind,
               const std::string &report, bool notify, Device device)
{
    for (const char *step = order; *step; ++step) {
        if (*step == 'W' && !step_write(key, stored))
            return;
        if (*step == 'R')
            step_report(siid, piid, kind, report, notify);
        if (*step == 'D')
            device();
    }
}

// True, logged, when the stored text equals the new one (whole texts; absent counts as different).
bool unchanged(const char *key, const std::string &stored);

struct BoolRow {
    const char *key;
    const char *order;      // of W, R, D
    int (*device)(int on);  // null: none
    bool compare = true;    // false: every set takes
    bool pulled_as_set = false;   // op 5 runs the steps like op 1 (value a JSON boolean)
    bool device_always = false;   // D runs also when nothing changed (with the new value)
    const char *absent = nullptr; // get stores this first when the key is absent (persist 0)
};
void spec_bool(const BoolRow &row, int siid, int piid, int op, char *json, int size, bool notify);

struct IntRow {
    const char *key;
    const char *order;
    int (*device)(int value);
    bool (*valid)(int value) = nullptr; // a refused value changes nothing, logged
    bool numeric_compare = false;       // equal when the stored number equals the new one
};
void spec_int(const IntRow &row, int siid, int piid, int op, char *json, int size, bool notify);

struct TextRow {
    const char *key;
    const char *order;
    int (*device)(const char *text);
    bool (*valid)(const char *text) = nullptr;
};
void spec_text(const TextRow &row, int siid, int piid, int op, char *json, int size, bool notify);
// "H:M" or "H:M:S" within a day (the alarm windows and the cloud record take nothing else).
bool valid_day_time(const char *text);
// Checks of a set's element before its reply (`spec_value_check`): a text that is no time of day,
// a text that is no JSON object.
bool day_time_acceptable(const char *json, int size);
bool object_acceptable(const char *json, int size);

// A JSON object kept as its text: set stores the "value" string when it parses as a JSON object
// (else nothing) and reports it (kind 4 as one JSON string) whether stored or not; get answers the
// object, or `absent` (stored first) when the key is absent, or null when the stored text does not
// parse; op 5 stores what op 1 would.
struct ObjectRow {
    const char *key;
    const char *absent;
};
void spec_object(const ObjectRow &row, int siid, int piid, int op, char *json, int size, bool notify);

// Read-only and constant values: get answers `value` (JSON text); other ops do nothing.
void spec_constant(const char *value, int siid, int piid, int op, char *json, int size);

} // namespace zel_rpc
