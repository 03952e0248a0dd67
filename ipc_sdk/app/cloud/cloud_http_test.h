// Test-only controls of the cloud HTTP protocol. Not for product code.
#pragma once

#include <stdint.h>

#include "app/cloud/cloud_http.h"

// Sets the upload context as a login reply would (domain, 16-byte key, token, IV) and points it at
// `rec`.
void cloud_http_test_set_context(const char *domain, const uint8_t key[16], const char *token, const uint8_t iv[16],
                                 const char *model, cloud_record_state_t *rec);
