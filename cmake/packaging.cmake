# Install layout and the Debian package: the tool and its manual page, nothing
# else. `cpack -G DEB` in a build directory writes bravik_<version>_<arch>.deb.

install(FILES ${PROJECT_SOURCE_DIR}/man/bravik.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bravik)
set(CPACK_PACKAGE_VENDOR "bravik maintainers")
set(CPACK_PACKAGE_CONTACT "bravik maintainers <bravik@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "bravik turns a 24-bit BMP picture into a headerless raw RGB565 image
(16-bit little-endian words, top row first), as small displays,
framebuffers and firmware take it. One picture per run, no options;
anything it cannot convert exactly is refused with a one-line reason.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (from dpkg-dev) reads the binary's real needs: the C library
# alone for a dynamic tool, since it links nothing of the C++ runtime. CPack
# hands it only dynamically linked files, so a static tool (the default on
# Linux) depends on nothing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
