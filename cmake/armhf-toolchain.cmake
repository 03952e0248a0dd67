# Cross build for the camera's architecture, 32-bit ARM with hardware floating point (Debian armhf),
# against the multiarch :armhf libraries. Programs, tests and test discovery run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# "-L /" makes the emulator load the multiarch armhf C library that the :armhf packages installed; the
# cross toolchain's own loader under /usr/arm-linux-gnueabihf does not match it and crashes threads.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)

# Host tools (ffmpeg, python3) come from the host; libraries, headers and CMake packages from armhf.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
