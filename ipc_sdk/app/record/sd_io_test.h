// Test-only control of the recording file layer's fault seam. The seam numbers every operation that
// changes the card (a stream write, an open that creates or truncates, a reservation, a rename, an
// unlink, a sync) from 1 and acts on the N-th:
//   ZELMAR_SD_FAULT="N:E"    fails it with errno E (a write writes nothing),
//   ZELMAR_SD_FAULT="N:exit" ends the process with _exit(SD_IO_FAULT_EXIT) before it,
//   ZELMAR_SD_FAULT="N:half" ends it likewise after writing half of a write's bytes.
// The variable is read at the first operation, or again by sd_io_fault_from_env.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { SD_IO_FAULT_EXIT = 86 };
enum { SD_IO_FAULT_ERRNO = 0, SD_IO_FAULT_KILL = 1, SD_IO_FAULT_KILL_HALF = 2 };

// Arms the seam (nth 0 disarms) and restarts the operation count.
void sd_io_fault_set(uint64_t nth, int action, int err);
// Re-reads ZELMAR_SD_FAULT and restarts the operation count.
void sd_io_fault_from_env(void);
// Operations counted since the last arm.
uint64_t sd_io_ops(void);
// Fails the N-th stream read from now (a read of the card that a stream's buffer does not serve) with
// errno `err`; nth 0 disarms. Reads are counted apart from the operations above.
void sd_io_read_fault_set(uint64_t nth, int err);

#ifdef __cplusplus
}
#endif
