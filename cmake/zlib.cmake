# ldr_zlib: the zlib every target links.
#
# The Windows build compiles it once from the pinned source in .deps/zlib
# (scripts/fetch-zlib-source.sh: Debian's archive of zlib 1.2.13, checked by
# its SHA-256), and loader.exe, kitpack.exe, the payload library and every
# test program link that one library: the zlib the tests run is the zlib
# that ships. No packaged libz.a takes part. The native build links the
# system's zlib (Debian's zlib1g-dev).
# The pinned source serves the payload library's archive on every system
# too (payload/CMakeLists.txt).
set(LOADERKIT_ZLIB_SOURCE ${PROJECT_SOURCE_DIR}/.deps/zlib CACHE PATH
    "zlib's pinned source (scripts/fetch-zlib-source.sh puts it there)")
if(NOT EXISTS ${LOADERKIT_ZLIB_SOURCE}/infback.c)
  message(FATAL_ERROR "zlib's source is not in ${LOADERKIT_ZLIB_SOURCE}: "
                      "run scripts/fetch-zlib-source.sh (scripts/setup.sh does)")
endif()
if(WIN32)
  # The library as zlib's own build makes it, without the gz* file functions,
  # which nothing here calls.
  set(zlib_sources adler32.c compress.c crc32.c deflate.c infback.c inffast.c inflate.c
      inftrees.c trees.c uncompr.c zutil.c)
  list(TRANSFORM zlib_sources PREPEND ${LOADERKIT_ZLIB_SOURCE}/)
  add_library(ldr_zlib STATIC ${zlib_sources})
  target_include_directories(ldr_zlib SYSTEM PUBLIC ${LOADERKIT_ZLIB_SOURCE})
  # inflateBack's fixed code tables are built at their first use rather than
  # stored: 1.5 KB less in loader.exe. Not so for inflate, which kitpack
  # calls on several threads at once (inflate/exact_stream.h says how the
  # payload library keeps inflateBack's first build alone).
  set_source_files_properties(${LOADERKIT_ZLIB_SOURCE}/infback.c PROPERTIES
                              COMPILE_DEFINITIONS BUILDFIXED)
  # Its own code, compiled as its authors wrote it; without unwind tables,
  # like the loader's own: nothing unwinds through zlib.
  target_compile_options(ldr_zlib PRIVATE -w -fno-asynchronous-unwind-tables)
else()
  find_package(ZLIB REQUIRED)
  add_library(ldr_zlib INTERFACE)
  target_link_libraries(ldr_zlib INTERFACE ZLIB::ZLIB)
endif()
