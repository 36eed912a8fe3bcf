# The inflaters of the archive reader behind platform/plat_gz.h. The gzip
# framing (platform/gzreader/gz_frame.cpp) is one layer; under it:
#
#   zlib  zlib's inflate: the unit's own, built in every configuration.
#   isal  Intel's ISA-L streaming inflate (Debian libisal-dev, a shared
#         library only): a host adaptation, about twice as fast on x86-64,
#         built in wherever the library is found.
#
# UPG_INFLATE picks the default one, behind plat::gzOpen (isal when the
# library is found on an x86-64 host, zlib otherwise); the reader's contract
# suite runs against every one built in.
#
# Finds ISA-L (imported target ISAL::ISAL) and sets UPG_GZREADER_SRC (the
# reader's sources), UPG_GZREADER_LIBS (what they link with) and UPG_INFLATERS (the inflaters built in). Included
# once at the top of the main build and of fuzz/; zlib must have been found
# (ZLIB::ZLIB) before. The reader's library is declared in
# platform/gzreader/CMakeLists.txt.
find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
find_library(ISAL_LIBRARY isal)
set(ISAL_FOUND FALSE)
if(ISAL_INCLUDE_DIR AND ISAL_LIBRARY)
  set(ISAL_FOUND TRUE)
  add_library(ISAL::ISAL UNKNOWN IMPORTED)
  set_target_properties(ISAL::ISAL PROPERTIES IMPORTED_LOCATION ${ISAL_LIBRARY}
                                              INTERFACE_INCLUDE_DIRECTORIES ${ISAL_INCLUDE_DIR})
endif()
set(upg_inflate_default zlib)
if(ISAL_FOUND AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(upg_inflate_default isal)
endif()
set(UPG_INFLATE ${upg_inflate_default} CACHE STRING "Default archive inflater: isal or zlib")
set_property(CACHE UPG_INFLATE PROPERTY STRINGS isal zlib)
if(NOT UPG_INFLATE MATCHES "^(isal|zlib)$")
  message(FATAL_ERROR "UPG_INFLATE=${UPG_INFLATE}: isal or zlib")
endif()
if(UPG_INFLATE STREQUAL "isal" AND NOT ISAL_FOUND)
  message(FATAL_ERROR "UPG_INFLATE=isal needs libisal (package libisal-dev)")
endif()

get_filename_component(upg_inflate_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(upg_gz ${upg_inflate_root}/platform/gzreader)
set(UPG_GZREADER_SRC ${upg_gz}/gz_frame.cpp ${upg_gz}/gz_inflate_zlib.cpp ${upg_gz}/gz_default_choice.cpp
                     ${upg_gz}/gz_default_${UPG_INFLATE}.cpp)
set(UPG_GZREADER_LIBS ZLIB::ZLIB)
if(ISAL_FOUND)
  list(APPEND UPG_GZREADER_SRC ${upg_gz}/gz_inflate_isal.cpp ${upg_gz}/gz_backends_all.cpp)
  list(APPEND UPG_GZREADER_LIBS ISAL::ISAL)
  set(UPG_INFLATERS zlib isal)
else()
  list(APPEND UPG_GZREADER_SRC ${upg_gz}/gz_backends_zlib.cpp)
  set(UPG_INFLATERS zlib)
endif()
message(STATUS "Archive inflaters: ${UPG_INFLATERS} (default ${UPG_INFLATE})")
