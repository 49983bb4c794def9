# Cross build for armhf (32-bit Raspberry Pi OS, other ARMv7 boards), with Debian's
# cross toolchain (crossbuild-essential-armhf) and the :armhf development packages.
# scripts/test --arch armhf installs them and builds everything with this file; the library
# alone needs only libudev-dev:armhf and libstdc++6:armhf:
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake \
#     -DCMAKE_INSTALL_PREFIX=/usr -DSERIAL_DRIVER_BUILD_SIM=OFF -DSERIAL_DRIVER_BUILD_TOOLS=OFF \
#     -DSERIAL_DRIVER_BUILD_TESTS=OFF -DSERIAL_DRIVER_BUILD_BENCH=OFF \
#     -DSERIAL_DRIVER_BUILD_PYTHON=OFF
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(serial_driver_qemu qemu-arm-static)
# GCC notes every std::vector<double> iterator passed by value that its ABI changed in GCC 7.1;
# nothing here links against code that old.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
