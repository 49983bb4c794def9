# Cross build for arm64 (Raspberry Pi 4/5, Jetson, most industrial boards) with Debian's cross
# toolchain (crossbuild-essential-arm64) and the :arm64 development packages:
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake \
#     -DCMAKE_INSTALL_PREFIX=/usr -DSERIAL_DRIVER_BUILD_SIM=OFF -DSERIAL_DRIVER_BUILD_TOOLS=OFF \
#     -DSERIAL_DRIVER_BUILD_TESTS=OFF -DSERIAL_DRIVER_BUILD_BENCH=OFF \
#     -DSERIAL_DRIVER_BUILD_PYTHON=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Programs built here run through qemu-user where CMake runs them (test discovery).
find_program(SERIAL_DRIVER_QEMU qemu-aarch64-static)
if(SERIAL_DRIVER_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIAL_DRIVER_QEMU})
endif()
# Libraries and headers of the target only; programs of the build machine.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
# GNUInstallDirs leaves out the multiarch directory when cross-compiling; Debian wants it.
set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
