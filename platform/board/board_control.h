// The simulated board's shared bookkeeping: its error log, the record of setter calls, injected
// failures and scripted detection results that the test controls fill.
#pragma once

#include <cstdint>
#include <string>

namespace board {

void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Appends "name(arguments)" to the call record.
void record_call(const std::string &call);
// True when a failure is injected for `function`; its result goes to *result.
bool injected(const std::string &function, int *result);
// The next scripted baby-cry result, 0 when none is left.
int next_babycry_result();
int isp_ev();
void speaker_write(const void *data, int len);

} // namespace board
