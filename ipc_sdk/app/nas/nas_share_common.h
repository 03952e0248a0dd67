// What every share back-end shares: path normalising, the copy of a local file in pieces and the
// recursive delete over a record's own operations, and the back-end templates.
#pragma once

#include <string>

#include "app/nas/nas_share.h"

extern const nas_share_ops_t g_nas_share_samba;

// "\a\\b/c\" -> "a/b/c".
std::string nas_share_norm_path(const char *path);

// Renames a finished upload over its final name; 0 or a NAS code.
typedef int (*nas_share_rename_fn)(nas_share_ops_t *s, const char *from, const char *to);

// Copies `local` to "<remote>.part" in pieces of the record's largest buffer and renames it to
// `remote` once complete, so that a cut copy never stands under the final name. 4 when *stop
// was set, else 0 or a NAS code.
int nas_share_common_writefile(nas_share_ops_t *s, const char *local, const char *remote, const int *stop,
                               nas_share_rename_fn rename);
int nas_share_common_rmdir_recursive(nas_share_ops_t *s, const char *path);
