# Which inflater the archive reader behind platform/plat_gz.h is built on:
#
#   UPG_INFLATE=zlib  zlib's inflate: the unit's own reader, and the default
#                     wherever ISA-L is not available (any cross build).
#   UPG_INFLATE=isal  Intel's ISA-L streaming inflate (Debian libisal-dev, a
#                     shared library only): a host adaptation, about twice as
#                     fast on x86-64, with the same observable results.
#
# Default: isal when the library is found on an x86-64 host, zlib otherwise.
# Sets UPG_GZREADER_SRC (the reader's source, platform/gzreader/gz_<name>.cpp),
# UPG_GZREADER_INCLUDES and UPG_GZREADER_LIBS (what it compiles and links
# with). Used by the main build (cmake/gzreader.cmake) and by fuzz/; zlib must
# have been found (ZLIB::ZLIB) before.
find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
find_library(ISAL_LIBRARY isal)
set(ISAL_FOUND FALSE)
if(ISAL_INCLUDE_DIR AND ISAL_LIBRARY)
  set(ISAL_FOUND TRUE)
endif()
set(upg_inflate_default zlib)
if(ISAL_FOUND AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(upg_inflate_default isal)
endif()
set(UPG_INFLATE ${upg_inflate_default} CACHE STRING "Archive inflater: isal or zlib")
set_property(CACHE UPG_INFLATE PROPERTY STRINGS isal zlib)

get_filename_component(upg_inflate_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(UPG_GZREADER_SRC ${upg_inflate_root}/platform/gzreader/gz_${UPG_INFLATE}.cpp)
if(NOT EXISTS ${UPG_GZREADER_SRC})
  message(FATAL_ERROR "UPG_INFLATE=${UPG_INFLATE}: no ${UPG_GZREADER_SRC}")
endif()
if(UPG_INFLATE STREQUAL "isal")
  if(NOT ISAL_FOUND)
    message(FATAL_ERROR "UPG_INFLATE=isal needs libisal (package libisal-dev)")
  endif()
  set(UPG_GZREADER_INCLUDES ${ISAL_INCLUDE_DIR})
  set(UPG_GZREADER_LIBS ${ISAL_LIBRARY})
else()
  set(UPG_GZREADER_INCLUDES)
  set(UPG_GZREADER_LIBS ZLIB::ZLIB)
endif()
message(STATUS "Archive inflater: ${UPG_INFLATE}")
