# The archive reader behind platform/plat_gz.h: static library `gzreader`
# built from platform/gzreader/gz_${UPG_INFLATE}.cpp.
#
#   UPG_INFLATE=zlib  zlib's inflate: the unit's own reader, and the default
#                     wherever ISA-L is not available (any cross build).
#   UPG_INFLATE=isal  Intel's ISA-L streaming inflate (Debian libisal-dev, a
#                     shared library only): a host adaptation, about twice as
#                     fast on x86-64, with the same observable results.
#
# Default: isal when the library is found on an x86-64 host, zlib otherwise.
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

set(upg_gzreader_src ${CMAKE_SOURCE_DIR}/platform/gzreader/gz_${UPG_INFLATE}.cpp)
if(NOT EXISTS ${upg_gzreader_src})
  message(FATAL_ERROR "UPG_INFLATE=${UPG_INFLATE}: no ${upg_gzreader_src}")
endif()
add_library(gzreader STATIC ${upg_gzreader_src})
target_include_directories(gzreader PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(gzreader PUBLIC platform_host)
if(UPG_INFLATE STREQUAL "isal")
  if(NOT ISAL_FOUND)
    message(FATAL_ERROR "UPG_INFLATE=isal needs libisal (package libisal-dev)")
  endif()
  target_include_directories(gzreader PRIVATE ${ISAL_INCLUDE_DIR})
  target_link_libraries(gzreader PRIVATE ${ISAL_LIBRARY})
else()
  target_link_libraries(gzreader PRIVATE ZLIB::ZLIB)
endif()
message(STATUS "Archive inflater: ${UPG_INFLATE}")
