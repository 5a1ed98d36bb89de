# CPack reads this once per generator (CPACK_PROJECT_CONFIG_FILE): the zip
# keeps Korvanel-<version>-<flavour>.zip, the setup program's name says what
# it is.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
