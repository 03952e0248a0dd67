// Settings that tests move through the environment, read where they are used.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The port named by the environment variable `name` when it holds a number from 1 to `highest`,
// else `fallback` (logged when the variable is set but unusable).
int zel_env_port(const char *name, int fallback, int highest);

#ifdef __cplusplus
}
#endif
