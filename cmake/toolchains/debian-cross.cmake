# What every Debian cross build here shares; an architecture's toolchain file sets
# CMAKE_SYSTEM_PROCESSOR, CMAKE_LIBRARY_ARCHITECTURE (the multiarch triplet) and
# serial_driver_qemu (its qemu-user program), then includes this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CMAKE_LIBRARY_ARCHITECTURE}-gcc)
set(CMAKE_CXX_COMPILER ${CMAKE_LIBRARY_ARCHITECTURE}-g++)
# Programs built here run through qemu-user where CMake runs them (test discovery).
find_program(SERIAL_DRIVER_QEMU ${serial_driver_qemu})
if(SERIAL_DRIVER_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIAL_DRIVER_QEMU})
endif()
# Libraries and headers of the target only; programs of the build machine.
# SERIAL_DRIVER_TARGET_ROOT names a directory with more of the target's packages unpacked
# (those that cannot be installed beside the host's own: umockdev's development files).
set(pc_dirs /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig /usr/share/pkgconfig)
if(DEFINED ENV{SERIAL_DRIVER_TARGET_ROOT})
  list(PREPEND pc_dirs $ENV{SERIAL_DRIVER_TARGET_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig)
endif()
string(REPLACE ";" ":" pc_dirs "${pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A consumer of a package installed elsewhere than /usr (a test's prefix) asks for BOTH.
if(NOT DEFINED CMAKE_FIND_ROOT_PATH_MODE_PACKAGE)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${CMAKE_LIBRARY_ARCHITECTURE} /usr $ENV{SERIAL_DRIVER_TARGET_ROOT})
# GNUInstallDirs leaves out the multiarch directory when cross-compiling; Debian wants it.
set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
