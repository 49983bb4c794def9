# Debian packages, one per install component:
#   libserial-driver1        the shared library (named after its SONAME)
#   libserial-driver-dev     headers, CMake package and .pc file
#   libserial-driver-sim-dev the simulated chassis (chassis_sim) for testing clients
#   serial-driver-tools      chassisctl, chassisd, the udev rules and chassisd's unit
#   python3-serial-driver    the Python module (when it is built)
# Nothing a robot runs pulls in umockdev: the simulator inside chassisctl and the Python
# module loads it only when asked to simulate, and says how to install it.
# cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr.
set(SERIAL_DRIVER_DEB_RUNTIME libserial-driver${SERIAL_DRIVER_SOVERSION})
set(SERIAL_DRIVER_DEB_DEV libserial-driver-dev)
set(SERIAL_DRIVER_DEB_SIM libserial-driver-sim-dev)
set(SERIAL_DRIVER_DEB_TOOLS serial-driver-tools)
set(SERIAL_DRIVER_DEB_PYTHON python3-serial-driver)
set(CPACK_COMPONENTS_ALL runtime development simulator tools)
set(package_names ${SERIAL_DRIVER_DEB_RUNTIME} ${SERIAL_DRIVER_DEB_DEV} ${SERIAL_DRIVER_DEB_SIM}
    ${SERIAL_DRIVER_DEB_TOOLS})
if(SERIAL_DRIVER_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
  list(APPEND package_names ${SERIAL_DRIVER_DEB_PYTHON})
endif()

# Debian wants a copyright file and a compressed changelog in each package's doc folder.
# The release's date, not the build's: packages of one version for several architectures must
# hold identical files to be installed side by side (Multi-Arch: same).
set(changelog_date "Tue, 08 Dec 2026 00:00:00 +0000")
set(SERIAL_DRIVER_MAINTAINER "serial_driver developers <serial-driver@lists.example.org>")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/changelog > ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  DEPENDS ${PROJECT_BINARY_DIR}/changelog)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
list(LENGTH package_names package_count)
math(EXPR last "${package_count} - 1")
foreach(i RANGE ${last})
  list(GET CPACK_COMPONENTS_ALL ${i} component)
  list(GET package_names ${i} package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME serial-driver)
# Each package's short description is the first line of its own description: no summary shared
# by all of them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VENDOR "serial_driver developers")
set(CPACK_PACKAGE_CONTACT ${SERIAL_DRIVER_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack asks dpkg for the build machine's architecture; a cross build names its target's.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library is this project's own: dpkg-shlibdeps finds it here, and the dependency on it
# is written out below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(exact_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${SERIAL_DRIVER_DEB_RUNTIME})
# The loader cache is refreshed by dpkg's trigger after the library is unpacked.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "serial link to a chassis controller board (shared library)
serial_driver talks to the controller board of a robot's chassis behind a
1a86:7523 USB serial adapter: it finds the adapter by its USB serial number,
sets up the line and exchanges checksummed frames, reconnecting by itself.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${SERIAL_DRIVER_DEB_DEV})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${SERIAL_DRIVER_DEB_RUNTIME} (= ${exact_version}), libudev-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS ${SERIAL_DRIVER_DEB_SIM})
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "serial link to a chassis controller board (development files)
Headers, CMake package and pkg-config file of serial_driver.")

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${SERIAL_DRIVER_DEB_SIM})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION libdevel)
# Client tests on the simulated chassis load umockdev and run under its preload.
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_DEPENDS
    "${SERIAL_DRIVER_DEB_DEV} (= ${exact_version}), umockdev")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
    "serial link to a chassis controller board (simulated chassis)
The simulated chassis (serial_driver::chassis_sim, pkg-config
serial_driver_chassis_sim): fake 1a86:7523 adapters in a umockdev testbed with
a controller behind each, for testing serial_driver clients without hardware.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${SERIAL_DRIVER_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${SERIAL_DRIVER_DEB_RUNTIME} (= ${exact_version})")
# --simulate needs umockdev and says so; the rest of the tool does not. Not a Recommends:
# apt would install it on every robot.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS umockdev)
# The rules apply at once to adapters already plugged in (udev reloaded, ttys triggered).
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/tools/postinst
    ${PROJECT_SOURCE_DIR}/packaging/tools/postrm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "serial link to a chassis controller board (tools, daemon and udev rules)
chassisctl lists serial ports, reads and writes controller entries (also
against a built-in simulated chassis) and shows who owns each adapter.
chassisd owns an adapter and serves it to other programs, with a systemd
unit per adapter that the udev rules start where it is enabled. The udev
rules give 1a86:7523 adapters to group dialout, keep ModemManager away and
add /dev/chassis-<serial> links.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${SERIAL_DRIVER_DEB_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "${SERIAL_DRIVER_DEB_RUNTIME} (= ${exact_version}), python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), python3 (<< ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}.99)")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS umockdev)  # for serial_driver.sim, as for the tools
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "serial link to a chassis controller board (Python module)
import serial_driver: ChassisLink as a context manager, errors as exception
classes, library messages through the logging module, and the simulated
chassis (serial_driver.sim) for hardware-free tests.")

# CPack cannot write Multi-Arch itself: the packages get it once built. The library, its
# development files and the Python module can be installed for several architectures at once;
# the tool runs the same from any.
set(CPACK_SERIAL_DRIVER_MULTIARCH_SAME
    "${SERIAL_DRIVER_DEB_RUNTIME};${SERIAL_DRIVER_DEB_DEV};${SERIAL_DRIVER_DEB_SIM};${SERIAL_DRIVER_DEB_PYTHON}")
set(CPACK_SERIAL_DRIVER_MULTIARCH_FOREIGN "${SERIAL_DRIVER_DEB_TOOLS}")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebMultiArch.cmake)

# Debian's layout (the multiarch library directory, python3/dist-packages) is chosen when
# configuring, from the prefix; CPack installs to /usr whatever it was. A build for another
# prefix would put the libraries in /usr/lib, so cpack refuses it (cmake/CPackCheck.cmake).
set(CPACK_SERIAL_DRIVER_CONFIGURED_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SERIAL_DRIVER_BINARY_DIR ${PROJECT_BINARY_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackCheck.cmake)

include(CPack)
