// The SD-card app's watch of the card: once a second it looks at "/mnt/sdcard" and, while the app is
// on the bus, tells the camera of every change: agent message 15 "sdcard_status" (0 writable, 12
// read-only, 1 absent) and message 42 "set_sdcard_cmd" (1 inserted, 2 removed).
#pragma once

#include <functional>

namespace sdcard_watch {

enum { STATUS_WRITABLE = 0, STATUS_ABSENT = 1, STATUS_READ_ONLY = 12 };
enum { CARD_IN = 1, CARD_OUT = 2 };

// The card's status now; `was_mounted` carries the mount state from one look to the next, so that a
// card pulled from its mount point reads as absent although the empty directory stays.
int card_status(bool *was_mounted);

// Starts the once-a-second watch (once per process); `fd` gives the app's bus connection or -1.
void start(std::function<int()> fd);

} // namespace sdcard_watch
