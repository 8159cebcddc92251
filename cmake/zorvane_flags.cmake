# cmake/zorvane_flags.cmake: warning, sanitizer and fuzzing switches shared by every target.
option(ZORVANE_WERROR "Turn compiler warnings into errors" OFF)
option(ZORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZORVANE_FUZZ "Build the libFuzzer harnesses (needs clang)" OFF)

# Applied to our own targets only; third-party code keeps its own warning level.
set(ZORVANE_WARNINGS -Wall -Wextra)
if(ZORVANE_WERROR)
  list(APPEND ZORVANE_WARNINGS -Werror)
endif()

if(ZORVANE_SANITIZE OR ZORVANE_FUZZ)
  # Directory-wide, so nanobind's support library is instrumented as well.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(ZORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZORVANE_FUZZ needs clang (libFuzzer)")
  endif()
  # Coverage instrumentation for the core; the harness executables add the fuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
