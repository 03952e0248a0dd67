// What the SDK tree's fuzz targets share: quiet logging, the message bus, and porting hooks that
// accept everything and do nothing.
#pragma once

// Sets the SDK logger to fatal lines only and starts the bus; call once from LLVMFuzzerInitialize.
void ko_fuzz_sdk_start();
