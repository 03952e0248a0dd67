# A program that loads the library: the SDK linked whole (its archive would otherwise give only the
# members the program itself names) and every symbol exported for the library to resolve.
function(zel_link_client_host target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  target_link_libraries(${target} PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,zelmar_sdk> zel_app_client)
endfunction()
