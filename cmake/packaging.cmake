# Installation and packages.
#
# `cmake --install` puts the programs in bin, the manual pages in
# share/man/man1, and the README and the copyright file in
# share/doc/quillfix (GNUInstallDirs; helpers the programs run belong in
# libexec/quillfix). The programs find nothing through the build tree, so
# an installed copy works from any directory.
#
# CPack makes, from a Linux build, the Debian package
# quillfix_<version>_amd64.deb (dependencies computed by dpkg-shlibdeps
# from the shared libraries the programs link, yaml-cpp's among them; Wine
# recommended) and, from the Windows build, a ZIP of the two .exe
# files, the README and the license. The version comes from the program's
# title in app/strings.def: "Quillfix v1.0a7" gives 1.0a7, and 1.0~a7 for
# Debian, whose ~ sorts a pre-release before 1.0.

file(STRINGS ${PROJECT_SOURCE_DIR}/app/strings.def title_line
     REGEX "IDS_TITLE")
if(NOT title_line MATCHES "\"Quillfix v([0-9]+(\\.[0-9]+)*)([a-z]+[0-9]*)?\"")
  message(FATAL_ERROR "no version in the title: ${title_line}")
endif()
set(QUILLFIX_VERSION "${CMAKE_MATCH_1}${CMAKE_MATCH_3}")
if(CMAKE_MATCH_3)
  set(QUILLFIX_DEBIAN_VERSION "${CMAKE_MATCH_1}~${CMAKE_MATCH_3}")
else()
  set(QUILLFIX_DEBIAN_VERSION "${CMAKE_MATCH_1}")
endif()

set(CPACK_PACKAGE_NAME quillfix)
set(CPACK_PACKAGE_VENDOR "The Quillfix developers")
set(CPACK_PACKAGE_CONTACT "The Quillfix developers <quillfix@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "sets the Quillfix preference of Varlo in a Wine prefix")
set(CPACK_PACKAGE_DESCRIPTION
    "Quillfix sets one preference of the product Varlo for the current user:
for each installed edition, Varlo and VarloPlus, it writes the value
Quillfix (REG_BINARY 01) into the edition's Preferences key. On Linux it
edits the user.reg of a Wine prefix directly, without starting Wine.
quillfix-report shows which editions are installed and patched.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The ZIP holds the files at its top level, beside each other.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_VERSION ${QUILLFIX_VERSION})
  set(CPACK_PACKAGE_FILE_NAME "quillfix-${QUILLFIX_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian's machine-readable copyright format, made from LICENSE.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
  string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" license_body
         "${license_text}")
  string(REGEX REPLACE "\n\n" "\n.\n" license_body "${license_body}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" license_body "${license_body}")
  string(REGEX REPLACE "\n+$" "" license_body "${license_body}")
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license_text}")
  set(copyright_holder "${CMAKE_MATCH_1}")
  file(WRITE ${PROJECT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Quillfix

Files: *
Copyright: ${copyright_holder}
License: Expat
 ${license_body}
")
  install(FILES ${PROJECT_BINARY_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The changelog Debian wants beside the copyright file, compressed as it
  # expects (no name or time in the gzip header).
  find_program(GZIP gzip REQUIRED)
  set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/debian-changelog > ${changelog_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/debian-changelog
    COMMENT "Compressing the changelog")
  add_custom_target(quillfix_changelog ALL DEPENDS ${changelog_gz})
  install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_VERSION ${QUILLFIX_DEBIAN_VERSION})
  set(CPACK_DEBIAN_PACKAGE_VERSION ${QUILLFIX_DEBIAN_VERSION})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS wine)
endif()

include(CPack)
