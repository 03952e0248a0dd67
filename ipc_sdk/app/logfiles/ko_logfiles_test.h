// Test-only view of log upload. Not for product code.
#pragma once

#include <string>
#include <vector>

// 1 between ko_logfiles_upload_init and ko_logfiles_upload_deinit, else 0.
int ko_logfiles_test_started(void);
// Asks the kept callback for up to `max_files` paths as the upload would; empty when not started.
std::vector<std::string> ko_logfiles_test_list(unsigned max_files, unsigned force);
