# Read by cpack before it builds anything: Debian packages only from a build configured for /usr.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_SERIAL_DRIVER_CONFIGURED_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "Debian packages need a build configured for /usr (this one is for "
    "${CPACK_SERIAL_DRIVER_CONFIGURED_PREFIX}, whose library directory is not Debian's):\n"
    "  cmake -S <source> -B ${CPACK_SERIAL_DRIVER_BINARY_DIR} -DCMAKE_INSTALL_PREFIX=/usr\n"
    "  cmake --build ${CPACK_SERIAL_DRIVER_BINARY_DIR} && cd ${CPACK_SERIAL_DRIVER_BINARY_DIR} && cpack -G DEB")
endif()
