# Third-party libraries, found through pkg-config, CMake config files or plain header/library look-ups.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
pkg_check_modules(STB REQUIRED stb)
pkg_check_modules(SMBCLIENT REQUIRED IMPORTED_TARGET smbclient)
find_package(json-c CONFIG REQUIRED)
find_package(SQLite3 REQUIRED)

# mbedTLS 2.28 ships neither pkg-config nor CMake files.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h REQUIRED)
find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
add_library(zel_mbedtls INTERFACE)
target_include_directories(zel_mbedtls SYSTEM INTERFACE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(zel_mbedtls INTERFACE ${MBEDTLS_LIB} ${MBEDX509_LIB} ${MBEDCRYPTO_LIB})

# libev ships neither pkg-config nor CMake files.
find_path(LIBEV_INCLUDE_DIR ev.h REQUIRED)
find_library(LIBEV_LIB ev REQUIRED)
add_library(zel_libev INTERFACE)
target_include_directories(zel_libev SYSTEM INTERFACE ${LIBEV_INCLUDE_DIR})
target_link_libraries(zel_libev INTERFACE ${LIBEV_LIB})

add_library(zel_stb INTERFACE)
target_include_directories(zel_stb SYSTEM INTERFACE ${STB_INCLUDE_DIRS})
