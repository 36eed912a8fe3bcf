# The layers of the code that runs on the unit (and its host stand-ins), one
# static library each, linked only downward:
#
#   upgmodule       the module's subsystems (UPG_MODULE_DIRS)
#     unit_standins   stand-ins for the unit's other modules (unit/)
#       foundation      CKWString, CKWArray (foundation/)
#         platform_host   the seam's host implementation (platform/hostsim/)
#         gzreader        the archive reader (platform/gzreader/)
#
# Included by the main build and by fuzz/, which builds the same libraries
# with its own instrumentation. upg_add_layers() declares them; UPG_ROOT must
# name the repository root, and Threads, ZLIB and cmake/inflater.cmake must
# have been found or included before.
#
# The folder lists stay on one line each: scripts/lint.sh and
# scripts/mutants.sh read them from this file.
set(UPG_PLATFORM_DIRS platform/hostsim)
set(UPG_FOUNDATION_DIRS foundation)
set(UPG_UNIT_DIRS unit)
set(UPG_MODULE_DIRS builtins GATEWAYS/Map_upgrade_plugin/src untgz poi_upgrade config_system)

# Sets `out` to the .cpp files of the folders named after it (relative to the
# repository root). Sources are found by globbing, so adding a file needs no
# edit of a CMakeLists.txt. Headers are included from the repository root
# ("platform/vxworks.h", "foundation/CKWString.h", ...).
function(upg_sources out)
  set(files)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${UPG_ROOT}/${dir}/*.cpp)
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Declares the layers' libraries, bottom up: each folder's CMakeLists.txt
# declares its own, and the module, whose five folders call each other, is
# one library declared here.
macro(upg_add_layers)
  add_subdirectory(${UPG_ROOT}/platform ${CMAKE_BINARY_DIR}/platform)
  add_subdirectory(${UPG_ROOT}/foundation ${CMAKE_BINARY_DIR}/foundation)
  add_subdirectory(${UPG_ROOT}/unit ${CMAKE_BINARY_DIR}/unit)

  upg_sources(upg_module_src ${UPG_MODULE_DIRS})
  add_library(upgmodule STATIC ${upg_module_src})
  target_include_directories(upgmodule PUBLIC ${UPG_ROOT}
                                              ${UPG_ROOT}/GATEWAYS/Map_upgrade_plugin/src)
  target_link_libraries(upgmodule PUBLIC unit_standins foundation platform_host gzreader)
endmacro()
