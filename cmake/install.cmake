# Install rules and packages.
#
#   bin/                         kitpack
#   share/loaderkit/             loader.exe, the POSIX loader, the reference
#                                installers, the demo payload (payload/)
#   share/doc/loaderkit/         the READMEs, format.md, the
#                                sources examples.md names (cmake-consumer/,
#                                installer/), and the pictures and pages the
#                                top-level README links (docs/)
#   share/man/man1/              kitpack.1
#   lib/cmake/loaderkit/         find_package(loaderkit): loaderkit::kitpack,
#                                loaderkit::payload and loaderkit_add_kit()
#   lib/, include/loaderkit/     the payload library for installers (static,
#                                built for the package's system; zlib inside),
#                                its header and lib/pkgconfig/loaderkit-payload.pc;
#                                on Windows also bin/loaderkit_payload.dll and
#                                lib/loaderkit_payload.lib (its import library)
#   lib/x86_64-w64-mingw32/      the Linux packages: the Windows library and its
#                                .pc, for installers cross-built with mingw-w64
#
# A build installs what it makes: the native build kitpack, the POSIX loader
# and installer; the Windows build kitpack.exe, loader.exe and installer.exe.
# A native build given LOADERKIT_WINDOWS_BUILD_DIR installs that build's
# loader.exe and installer.exe too, as the Linux packages do.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LOADERKIT_WINDOWS_BUILD_DIR "" CACHE PATH
    "A Windows build whose loader.exe and installer.exe a native install takes too")

set(LOADERKIT_DATA_DIR ${CMAKE_INSTALL_DATADIR}/loaderkit)
set(LOADERKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/loaderkit)
set(LOADERKIT_WINDOWS_LIB_DIR ${CMAKE_INSTALL_LIBDIR}/x86_64-w64-mingw32)
# Folders as made by the install, not by the umask of whoever runs it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS kitpack EXPORT loaderkitTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS loaderkit_payload EXPORT loaderkitPayloadTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/loaderkit)
if(WIN32)
  install(TARGETS loaderkit_payload_dll RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
                                        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# pkg-config files for the payload library, relocatable (every path from
# the file's own folder). `system` is the system the archive is built for.
function(loaderkit_payload_pc libdir system)
  file(RELATIVE_PATH up /p/${libdir}/pkgconfig /p)
  set(static "")
  if(system STREQUAL "Windows")
    set(static "-static ")
  endif()
  set(out ${CMAKE_BINARY_DIR}/pc/${libdir}/loaderkit-payload.pc)
  file(WRITE ${out}
       "prefix=\${pcfiledir}/${up}\n"
       "includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\n"
       "libdir=\${pcfiledir}/..\n\n"
       "Name: loaderkit-payload\n"
       "Description: loaderkit's payload library for installers\n"
       "Version: ${PROJECT_VERSION}\n"
       "Cflags: -I\${includedir}\n"
       "Libs: ${static}-L\${libdir} -lloaderkit_payload -lstdc++ -lm\n")
  install(FILES ${out} DESTINATION ${libdir}/pkgconfig)
endfunction()
loaderkit_payload_pc(${CMAKE_INSTALL_LIBDIR} ${CMAKE_SYSTEM_NAME})
install(TARGETS loader installer RUNTIME DESTINATION ${LOADERKIT_DATA_DIR})
if(NOT WIN32 AND LOADERKIT_WINDOWS_BUILD_DIR)
  install(PROGRAMS ${LOADERKIT_WINDOWS_BUILD_DIR}/loader/loader.exe
                   ${LOADERKIT_WINDOWS_BUILD_DIR}/examples/installer.exe
          DESTINATION ${LOADERKIT_DATA_DIR})
  # The Windows payload library, for installers cross-built with mingw-w64
  # against this package (loaderkitConfig.cmake picks it in such a build).
  install(FILES ${LOADERKIT_WINDOWS_BUILD_DIR}/payload/libloaderkit_payload.a
          DESTINATION ${LOADERKIT_WINDOWS_LIB_DIR})
  loaderkit_payload_pc(${LOADERKIT_WINDOWS_LIB_DIR} Windows)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/payload/ DESTINATION ${LOADERKIT_DATA_DIR}/payload)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/kitpack/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME kitpack.md)
install(FILES ${PROJECT_SOURCE_DIR}/examples/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME examples.md)
install(FILES ${PROJECT_SOURCE_DIR}/docs/format.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The sources examples.md points to, beside it as it names them: the CMake
# project that builds kits and the reference installer.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/cmake-consumer ${PROJECT_SOURCE_DIR}/examples/installer
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What the README links, at the same place relative to it.
install(FILES ${PROJECT_SOURCE_DIR}/docs/extracting.png ${PROJECT_SOURCE_DIR}/docs/window.png
              ${PROJECT_SOURCE_DIR}/docs/window-192dpi.png ${PROJECT_SOURCE_DIR}/docs/benchmarks.md
              ${PROJECT_SOURCE_DIR}/docs/throughput.png
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES ${PROJECT_SOURCE_DIR}/kitpack/kitpack.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(EXPORT loaderkitTargets NAMESPACE loaderkit:: DESTINATION ${LOADERKIT_CMAKE_DIR})
install(EXPORT loaderkitPayloadTargets NAMESPACE loaderkit:: DESTINATION ${LOADERKIT_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/loaderkitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/loaderkitConfig.cmake
  INSTALL_DESTINATION ${LOADERKIT_CMAKE_DIR}
  PATH_VARS LOADERKIT_DATA_DIR LOADERKIT_WINDOWS_LIB_DIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/loaderkitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/loaderkitConfig.cmake
              ${CMAKE_BINARY_DIR}/loaderkitConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/loaderkitAddKit.cmake
              ${CMAKE_CURRENT_LIST_DIR}/loaderkitInputsStamp.cmake
              ${CMAKE_CURRENT_LIST_DIR}/loaderkitPayloadLink.cmake
        DESTINATION ${LOADERKIT_CMAKE_DIR})

# The .deb (scripts/package.sh; the tar.gz and the zip are packed from an
# installed tree by scripts/pack-tree.py, in sorted order, which CPack's
# archive generators do not keep). With SOURCE_DATE_EPOCH set, CPack gives
# every entry that time and sorts them, so the same build packs to the same
# bytes.
if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME loaderkit)
  set(CPACK_PACKAGE_VENDOR loaderkit)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "Installer loader for Windows kits, and kitpack, the tool that builds them")
  set(CPACK_PACKAGE_CONTACT "loaderkit developers <loaderkit@example.org>")
  set(CPACK_STRIP_FILES OFF)  # the package builds link stripped; loader.exe is never touched
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "kitpack builds, lists, verifies and extracts installer kits: a small
 Windows loader with the installer and its payload appended. The package
 holds kitpack, loader.exe, the POSIX loader, the reference installers, a
 demo payload and a CMake package (find_package(loaderkit),
 loaderkit_add_kit).")
  include(CPack)
endif()
