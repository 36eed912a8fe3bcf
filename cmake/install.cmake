# Installation of the simulator and its Debian package (included at the end of
# the root CMakeLists.txt, once the targets exist).
#
#   cmake --install build/release --prefix P    P/bin/upgsim
#                                                P/share/man/man1/upgsim.1.gz
#                                                P/share/bash-completion/completions/upgsim
#                                                P/share/doc/upgsim/ (docs/*.md,
#                                                copyright)
#                                                P/include/upgsim/upgrade_builtins.h
#                                                P/include/upgsim/upg_country_table.h
#                                                P/share/upgsim/examples/
#   cpack -G DEB (in build/release)              upgsim_<version>_amd64.deb
#
# The installed binary needs nothing of the source or build tree: the script
# header is generated at run time, the example scripts of the demo are bundled
# into it, and TinyCC's runtime (libtcc1.a and its own headers) is read from
# the folder of Debian's tcc package, where libtcc itself looks for it.
#
# `cmake --install` (and so cpack) builds the generated files (manual page,
# completion, header) when they are missing, so that it works straight after
# a build of the target "upgsim" alone; it does not rebuild upgsim itself.

# Builds without the simulator (the cross build of the module) install nothing.
if(NOT TARGET upgsim)
  return()
endif()

include(GNUInstallDirs)

# Compile-time paths (__FILE__ in log lines) relative to the source root, so
# the binary carries no path of the tree it was built in.
foreach(target upgsim upgmodule unit_standins foundation platform_host gzreader scripthost mediacheck
                sweep)
  if(TARGET ${target})
    target_compile_options(${target} PRIVATE -fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
  endif()
endforeach()

install(TARGETS upgsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The generated files, made before they are installed when a build of
# "upgsim" alone did not make them (scripts/demo.sh builds only that).
install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\"
                              --target upgsim_install_files
                              RESULT_VARIABLE upgsim_files_made)
              if(NOT upgsim_files_made EQUAL 0)
                message(FATAL_ERROR \"cannot build the target upgsim_install_files\")
              endif()")

set(UPGSIM_INSTALL_FILES)

# The script header, written by the built simulator itself: it is the text
# that `upgsim run` compiles scripts against, so the two cannot differ. A
# cross build cannot run the simulator and installs no header.
if(TARGET scripthost AND NOT CMAKE_CROSSCOMPILING)
  set(header_dir ${CMAKE_BINARY_DIR}/include/upgsim)
  add_custom_command(
    OUTPUT ${header_dir}/upgrade_builtins.h ${header_dir}/upg_country_table.h
    COMMAND upgsim run --write-header ${header_dir}
    DEPENDS upgsim
    COMMENT "Writing the script header with upgsim run --write-header"
    VERBATIM)
  list(APPEND UPGSIM_INSTALL_FILES ${header_dir}/upgrade_builtins.h)
  install(FILES ${header_dir}/upgrade_builtins.h ${header_dir}/upg_country_table.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/upgsim)
endif()

# The manual page, made by help2man from the built simulator's --help-all
# (--help with every command's options) and --version, with the sections that the help does not carry (files, examples)
# from docs/upgsim.h2m: the page says what --help says. Without help2man there
# is no page (scripts/setup.sh installs it).
find_program(HELP2MAN help2man)
# The page's date: SOURCE_DATE_EPOCH when the build sets it, otherwise the
# time of the last commit, so that a rebuild of one tree makes the same page.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(UPGSIM_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(
    COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE UPGSIM_SOURCE_DATE_EPOCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT UPGSIM_SOURCE_DATE_EPOCH)
    set(UPGSIM_SOURCE_DATE_EPOCH 0)
  endif()
endif()
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(man_page ${CMAKE_BINARY_DIR}/man/upgsim.1)
  add_custom_command(
    OUTPUT ${man_page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND
      ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${UPGSIM_SOURCE_DATE_EPOCH} ${HELP2MAN} --no-info
      --no-discard-stderr --help-option=--help-all --section 1
      --name "host simulator of the navigation unit's upgrade-support module" --include
      ${CMAKE_SOURCE_DIR}/docs/upgsim.h2m --output ${man_page} $<TARGET_FILE:upgsim>
    DEPENDS upgsim ${CMAKE_SOURCE_DIR}/docs/upgsim.h2m
    COMMENT "Writing the manual page with help2man"
    VERBATIM)
  # Installed compressed, as Debian's policy wants it (gzip -n: no name or
  # time in the header, so the same page gives the same bytes).
  add_custom_command(
    OUTPUT ${man_page}.gz
    COMMAND gzip -9 -n -c ${man_page} > ${man_page}.gz
    DEPENDS ${man_page}
    COMMENT "Compressing the manual page"
    VERBATIM)
  list(APPEND UPGSIM_INSTALL_FILES ${man_page}.gz)
  install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The bash completion, written by the built simulator from the definitions
# its --help shows. A cross build cannot run the simulator.
if(NOT CMAKE_CROSSCOMPILING)
  set(completion ${CMAKE_BINARY_DIR}/completion/upgsim)
  add_custom_command(
    OUTPUT ${completion}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/completion
    COMMAND upgsim --completion bash > ${completion}
    DEPENDS upgsim
    COMMENT "Writing the bash completion with upgsim --completion bash"
    VERBATIM)
  list(APPEND UPGSIM_INSTALL_FILES ${completion})
  install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# Everything generated for the installation; `all` builds it too.
add_custom_target(upgsim_install_files ALL DEPENDS ${UPGSIM_INSTALL_FILES})

# What the help and the manual page point to (every page of docs/: each
# command's --help names one), and the package's copyright.
file(GLOB upgsim_doc_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${upgsim_doc_pages} ${CMAKE_SOURCE_DIR}/docs/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/upgsim)

install(
  DIRECTORY ${CMAKE_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/upgsim/examples
  PATTERN .gitattributes EXCLUDE)

# Debian package: upgsim_<version>_amd64.deb. The shared libraries' packages
# come from dpkg-shlibdeps; tcc (TinyCC's runtime library and headers, read
# from /usr/lib/x86_64-linux-gnu/tcc) and libc6-dev (the C headers and libc.so
# that the upgrade scripts compile and link against) are needed at run time
# without being linked, so they are named here.
set(CPACK_PACKAGE_NAME upgsim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Navigation unit upgrade team")
set(CPACK_PACKAGE_CONTACT "Navigation unit upgrade team <upgsim@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "host simulator of the navigation unit's upgrade-support module")
set(CPACK_PACKAGE_DESCRIPTION
    "upgsim runs the navigation unit's upgrade scripts (C programs compiled
with TinyCC) against host folders mounted as the unit's medium, SD card and
flash, with the unit's upgrade-support module: media analysis, .tgz
extraction, copies, POI merge and configuration tables.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tcc, libc6-dev")
set(CPACK_STRIP_FILES ON)
include(CPack)
