# What is installed, and the packages made of it: a Debian package on Linux,
# a zip on Windows. Nothing of the tests is installed.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME quarrow)
set(CPACK_PACKAGE_VENDOR "The Quarrow developers")
set(CPACK_PACKAGE_CONTACT "The Quarrow developers <developers@quarrow.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list, compare and extract the sources held in .nms files")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Quarrow is a console tool for people who debug and maintain native"
    "programs. Their .nms symbol files can carry the full text of the sources"
    "a module was built from. Quarrow lists the sources such a file holds,"
    "compares them byte for byte with the files on disk, and extracts them as"
    "new files: all of them, only those that differ, or one by one after a"
    "y/n key.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip a Windows user unpacks: the program with its text files beside
  # it (a README of its own, for cmd.exe and PowerShell), those with CR LF
  # line ends, as Notepad users expect.
  install(TARGETS quarrow RUNTIME DESTINATION .)
  foreach(text packaging/windows/README.txt:README.txt LICENSE:LICENSE.txt)
    string(REPLACE ":" ";" names ${text})
    list(GET names 0 source)
    list(GET names 1 target)
    file(READ ${CMAKE_SOURCE_DIR}/${source} contents)
    string(REPLACE "\n" "\r\n" contents "${contents}")
    file(WRITE ${CMAKE_BINARY_DIR}/${target} "${contents}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${source})
    install(FILES ${CMAKE_BINARY_DIR}/${target} DESTINATION .)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quarrow-${PROJECT_VERSION}-win64)
else()
  install(TARGETS quarrow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The man page and the changelog compressed as Debian has them: at most
  # compression, with no name or time stored (gzip -9n).
  foreach(source man/quarrow.1 packaging/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.gz
      COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/${source} > ${CMAKE_BINARY_DIR}/${name}.gz
      DEPENDS ${CMAKE_SOURCE_DIR}/${source})
    list(APPEND QUARROW_COMPRESSED ${CMAKE_BINARY_DIR}/${name}.gz)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${QUARROW_COMPRESSED})
  install(FILES ${CMAKE_BINARY_DIR}/quarrow.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Read when the package is made: without dpkg-shlibdeps, CPack would make a
  # package that declares no dependencies at all.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/package-checks.cmake)
endif()

include(CPack)
