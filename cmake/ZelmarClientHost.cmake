# A program that loads the library: the SDK, its P2P service, the platform's system clock and OTA
# install library linked whole (an archive would otherwise give only the members the program itself
# names) and every symbol exported for the library to resolve.
function(zel_link_client_host target)
  # The streaming SDK under the P2P service names the SDK as an ordinary dependency: the override
  # links it whole wherever it comes, once.
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON LINK_LIBRARY_OVERRIDE_zelmar_sdk WHOLE_ARCHIVE)
  target_link_libraries(${target} PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,zelmar_p2p>
    $<LINK_LIBRARY:WHOLE_ARCHIVE,zel_sysclock> $<LINK_LIBRARY:WHOLE_ARCHIVE,zel_platform_ota> zel_app_client)
endfunction()

# A test or benchmark program in zelmar_app's place: besides the SDK, the rest of what the library
# calls in the program (the app object, the agent loop, the media app, the simulated platform and the
# start-up's running flag).
function(zel_link_client_test_host target)
  zel_link_client_host(${target})
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/zel_client_host.cpp)
  target_link_libraries(${target} PRIVATE zel_app_object zel_app_agent_loop zel_app_media zel_media_hot_config
    boardav peripheral $<LINK_LIBRARY:WHOLE_ARCHIVE,network_setup_app>)
endfunction()
