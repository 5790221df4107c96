# quillet_add_node_module(<name> <sources>...): a Node-API module <name>.node
# in the shared output folder. On Linux the host process provides the
# Node-API symbols; on Windows they are bound lazily against whichever
# executable runs the host (see apps/desktop/native/common).
function(quillet_add_node_module name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".node")
  target_link_libraries(${name} PRIVATE quillet_napi_host)
  if(WIN32)
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
  quillet_warnings(${name})
endfunction()
