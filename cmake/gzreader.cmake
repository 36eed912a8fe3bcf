# The archive reader behind platform/plat_gz.h: static library `gzreader`,
# the gzip framing and every inflater built in (choice and default in
# cmake/inflater.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/inflater.cmake)
add_library(gzreader STATIC ${UPG_GZREADER_SRC})
target_include_directories(gzreader PUBLIC ${CMAKE_SOURCE_DIR})
target_include_directories(gzreader PRIVATE ${UPG_GZREADER_INCLUDES})
target_link_libraries(gzreader PUBLIC platform_host)
target_link_libraries(gzreader PRIVATE ${UPG_GZREADER_LIBS})
