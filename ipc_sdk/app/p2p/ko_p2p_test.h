// Test-only control of the P2P service: the calls it makes on phone sessions replaced by a test's
// own (null restores the streaming server's), so that a send step or a command can be run on
// scripted send-ring figures and its replies looked at.
#pragma once

#include "app/p2p/ko_p2p_internal.h"

inline void ko_p2p_test_use_session_ops(const ko_p2p::session_ops *ops)
{
    static const ko_p2p::session_ops *const real = ko_p2p::g_session_ops.load();
    ko_p2p::g_session_ops.store(ops ? ops : real);
}
