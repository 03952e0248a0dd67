// Installs the signal handler for SIGINT, SIGTERM and SIGPIPE with its pipe and signal thread.
#pragma once

// 0, or -1 (on stderr) when the pipe or the thread cannot be made.
int zelmar_signal_init(void);
