# Checks made by cpack before it makes a package (CPACK_PROJECT_CONFIG_FILE).
cmake_policy(SET CMP0109 NEW)  # a program is what can be run
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(QUARROW_SHLIBDEPS dpkg-shlibdeps)
  if(NOT QUARROW_SHLIBDEPS)
    message(FATAL_ERROR
      "dpkg-shlibdeps was not found, and without it the package would declare no dependencies.\n"
      "Install it with: sudo apt install dpkg-dev")
  endif()
endif()
