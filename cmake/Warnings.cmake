# Warnings are errors on every compiler we build with.
add_library(orvane_warnings INTERFACE)
target_compile_options(orvane_warnings INTERFACE
  -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2
  -Wimplicit-fallthrough -Wundef)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(orvane_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wno-missing-field-initializers>)
endif()
