# cmake/zorvane_ext.cmake: one helper per extension module.
# STABLE_ABI takes effect on Python 3.12 and newer only (Py_LIMITED_API, one abi3 file for
# every later version); on 3.11 nanobind builds against the full C API.
function(zorvane_add_ext name dest)
  nanobind_add_module(${name} NB_DOMAIN zorvane NOMINSIZE STABLE_ABI ${ARGN})
  target_link_libraries(${name} PRIVATE zorvane_core)
  target_compile_options(${name} PRIVATE ${ZORVANE_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  install(TARGETS ${name} LIBRARY DESTINATION ${dest})
endfunction()
