# Third-party libraries, built from Debian's source packages (scripts/fetch-deps.sh)
# with the project's toolchain. Nothing of them lives in the repository.
set(TARVO_DEPS_DIR ${CMAKE_BINARY_DIR}/../_deps CACHE PATH "Unpacked dependency sources")
get_filename_component(TARVO_DEPS_DIR ${TARVO_DEPS_DIR} ABSOLUTE)
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-deps.sh ${TARVO_DEPS_DIR}
                RESULT_VARIABLE _fetch_rc)
if(NOT _fetch_rc EQUAL 0)
  message(FATAL_ERROR "dependency sources could not be fetched")
endif()
file(READ ${TARVO_DEPS_DIR}/VERSIONS _dep_versions)
message(STATUS "Dependencies:\n${_dep_versions}")

set(_dep_opts -w)

# zlib
set(_z ${TARVO_DEPS_DIR}/zlib)
add_library(dep_zlib STATIC
  ${_z}/adler32.c ${_z}/compress.c ${_z}/crc32.c ${_z}/deflate.c ${_z}/gzclose.c
  ${_z}/gzlib.c ${_z}/gzread.c ${_z}/gzwrite.c ${_z}/infback.c ${_z}/inffast.c
  ${_z}/inflate.c ${_z}/inftrees.c ${_z}/trees.c ${_z}/uncompr.c ${_z}/zutil.c)
target_include_directories(dep_zlib SYSTEM PUBLIC ${_z})
target_compile_options(dep_zlib PRIVATE ${_dep_opts})
add_library(dep::zlib ALIAS dep_zlib)

# minizip (the unzip side and the Win32 file functions)
set(_mz ${_z}/contrib/minizip)
add_library(dep_minizip STATIC ${_mz}/unzip.c ${_mz}/ioapi.c ${_mz}/iowin32.c)
target_include_directories(dep_minizip SYSTEM PUBLIC ${_mz})
target_link_libraries(dep_minizip PUBLIC dep_zlib)
target_compile_options(dep_minizip PRIVATE ${_dep_opts})
add_library(dep::minizip ALIAS dep_minizip)

# jsoncpp
set(_j ${TARVO_DEPS_DIR}/jsoncpp)
add_library(dep_jsoncpp STATIC
  ${_j}/src/lib_json/json_reader.cpp ${_j}/src/lib_json/json_value.cpp ${_j}/src/lib_json/json_writer.cpp)
target_include_directories(dep_jsoncpp SYSTEM PUBLIC ${_j}/include)
target_include_directories(dep_jsoncpp PRIVATE ${_j}/src/lib_json)
target_compile_options(dep_jsoncpp PRIVATE ${_dep_opts})
add_library(dep::jsoncpp ALIAS dep_jsoncpp)

# TinyXML (Debian's patch makes it STL-based)
set(_t ${TARVO_DEPS_DIR}/tinyxml)
add_library(dep_tinyxml STATIC
  ${_t}/tinystr.cpp ${_t}/tinyxml.cpp ${_t}/tinyxmlerror.cpp ${_t}/tinyxmlparser.cpp)
target_include_directories(dep_tinyxml SYSTEM PUBLIC ${_t})
target_compile_definitions(dep_tinyxml PUBLIC TIXML_USE_STL)
target_compile_options(dep_tinyxml PRIVATE ${_dep_opts})
add_library(dep::tinyxml ALIAS dep_tinyxml)

# libpng, with its prebuilt default configuration
set(_p ${TARVO_DEPS_DIR}/libpng)
set(_pconf ${CMAKE_BINARY_DIR}/_pnglibconf)
file(MAKE_DIRECTORY ${_pconf})
configure_file(${_p}/scripts/pnglibconf.h.prebuilt ${_pconf}/pnglibconf.h COPYONLY)
add_library(dep_png STATIC
  ${_p}/png.c ${_p}/pngerror.c ${_p}/pngget.c ${_p}/pngmem.c ${_p}/pngpread.c
  ${_p}/pngread.c ${_p}/pngrio.c ${_p}/pngrtran.c ${_p}/pngrutil.c ${_p}/pngset.c
  ${_p}/pngtrans.c ${_p}/pngwio.c ${_p}/pngwrite.c ${_p}/pngwtran.c ${_p}/pngwutil.c)
target_include_directories(dep_png SYSTEM PUBLIC ${_p} ${_pconf})
target_compile_definitions(dep_png PRIVATE PNG_ARM_NEON_OPT=0 PNG_INTEL_SSE_OPT=0)
target_link_libraries(dep_png PUBLIC dep_zlib)
target_compile_options(dep_png PRIVATE ${_dep_opts})
add_library(dep::png ALIAS dep_png)

# CImg: one header, with its libpng support
add_library(dep_cimg INTERFACE)
target_include_directories(dep_cimg SYSTEM INTERFACE ${TARVO_DEPS_DIR}/cimg/usr/include)
# CImg's own buffer limit comes out as 0 on the 32-bit build when UINTPTR_MAX is not
# known before its header: every image would throw. Name it explicitly.
target_compile_definitions(dep_cimg INTERFACE cimg_use_png cimg_display=0
  "cimg_max_buf_size=((cimg_ulong)64*1024*1024)")
target_link_libraries(dep_cimg INTERFACE dep_png)
add_library(dep::cimg ALIAS dep_cimg)

# GoogleTest from Debian's googletest sources
if(TARVO_TESTS)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
endif()
