// The event map, used internal -> outward only (the property and action maps are in zel_rpc.h).
#pragma once

namespace zel_rpc {

void event_reverse_map(int siid, int eiid, int *o_siid, int *o_eiid);

} // namespace zel_rpc
