# What a Debian system installs, and cpack -G DEB's package of it: both
# commands, their manual pages (compressed, as Debian wants them), the license
# as the copyright file, the news, and a changelog in Debian's own format.
# Included from the top-level CMakeLists.txt on systems other than Windows.

install(TARGETS varnel varnel-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Under the name a Debian package gives it.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# gzip -9n: no name and no time stamp in the header, so that the same page
# makes the same file.
find_program(VARNEL_GZIP gzip)
function(varnel_install_gzipped source destination)
  get_filename_component(name ${source} NAME)
  if(NOT VARNEL_GZIP)
    install(FILES ${source} DESTINATION ${destination})
    return()
  endif()
  set(gzipped ${PROJECT_BINARY_DIR}/gzipped/${name}.gz)
  add_custom_command(OUTPUT ${gzipped}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/gzipped
    COMMAND ${VARNEL_GZIP} -9n -c ${source} > ${gzipped}
    DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER "gzip_${name}" target)
  add_custom_target(${target} ALL DEPENDS ${gzipped})
  install(FILES ${gzipped} DESTINATION ${destination})
endfunction()
if(NOT VARNEL_GZIP)
  message(STATUS "gzip not found: the manual pages are installed uncompressed")
endif()

varnel_install_gzipped(${PROJECT_SOURCE_DIR}/man/varnel.1 ${CMAKE_INSTALL_MANDIR}/man1)
varnel_install_gzipped(${PROJECT_SOURCE_DIR}/man/varnel-check.1 ${CMAKE_INSTALL_MANDIR}/man1)
if(EXISTS ${PROJECT_SOURCE_DIR}/NEWS.md)
  configure_file(${PROJECT_SOURCE_DIR}/NEWS.md ${PROJECT_BINARY_DIR}/NEWS COPYONLY)
  varnel_install_gzipped(${PROJECT_BINARY_DIR}/NEWS ${CMAKE_INSTALL_DOCDIR})
endif()

# The package's maintainer: a placeholder until the packages are published.
set(VARNEL_MAINTAINER "varnel developers <varnel@example.org>" CACHE STRING
    "The Debian package's Maintainer: a name and a mail address")

# A Debian package made from the sources themselves has a changelog.gz in
# Debian's format; what changed is told in NEWS.gz beside it.
configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
varnel_install_gzipped(${PROJECT_BINARY_DIR}/changelog ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME varnel)
set(CPACK_PACKAGE_VERSION ${VARNEL_VERSION})
set(CPACK_PACKAGE_VENDOR "varnel developers")
set(CPACK_PACKAGE_CONTACT ${VARNEL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VARNEL_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "converts raw flash images into checksummed record files")
set(CPACK_PACKAGE_DESCRIPTION
    "varnel turns a raw flash dump, a whole number of 8192-byte blocks, into a
record file: each block preceded by a 9-byte header that gives its flash
address, its length and two checksums, so that whatever flashes the file can
place and verify every block. The record file takes its name only once it is
complete and on the disk.

varnel-check verifies record files, reports the runs of addresses they
cover and restores the raw image from them.")
# The package's folders 0755, as Debian wants them, whatever the umask of
# whoever builds it: cpack makes them as an install does, through mkdir,
# and under umask 077 the package would leave its commands and pages to
# root alone. (The files have their modes from install().)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package-folders.cmake)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
if(VARNEL_DEBIAN_ARCH)
  # A cross build: the package is for the target, whose libraries the host's
  # dpkg-shlibdeps does not know.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VARNEL_DEBIAN_ARCH})
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
elseif(EXISTS /usr/bin/dpkg-shlibdeps)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
