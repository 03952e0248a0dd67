// The RPC side of the porting layer: the hook through which the SDK's RPC link hands daemon texts to
// the property engine (ko_rpc_receive, declared with the other hooks in common/ko_porting_hooks.h),
// and the one send path the engine and the business layer use towards the daemon.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Hands one JSON-RPC text to the SDK's RPC link without an answer callback; ko_rpc_send's result.
int _zel_rpc_send(const char *text, int len);

#ifdef __cplusplus
}
#endif
