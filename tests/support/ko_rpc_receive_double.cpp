// The RPC receive hook as the SDK's own tests see it: every text is recorded.
#include <string>

#include "common/ko_porting_hooks.h"
#include "ko_porting_hooks_double.h"

extern "C" int ko_rpc_receive(const char *msg, int len)
{
    if (!msg || len <= 0)
        return -1;
    zeltest::porting_hooks_note_rpc(std::string(msg, static_cast<size_t>(len)));
    return 0;
}
