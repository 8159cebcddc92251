# cmake/zorvane_ext.cmake: one helper per extension module.
function(zorvane_add_ext name dest)
  nanobind_add_module(${name} NB_DOMAIN zorvane NOMINSIZE ${ARGN})
  target_link_libraries(${name} PRIVATE zorvane_core)
  target_compile_options(${name} PRIVATE ${ZORVANE_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  install(TARGETS ${name} LIBRARY DESTINATION ${dest})
endfunction()
