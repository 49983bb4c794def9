# Cross build for arm64 (Raspberry Pi 4/5, Jetson, most industrial boards), with Debian's
# cross toolchain (crossbuild-essential-arm64) and the :arm64 development packages.
# scripts/test --arch arm64 installs them and builds everything with this file; the library
# alone needs only libudev-dev:arm64 and libstdc++6:arm64:
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake \
#     -DCMAKE_INSTALL_PREFIX=/usr -DSERIAL_DRIVER_BUILD_SIM=OFF -DSERIAL_DRIVER_BUILD_TOOLS=OFF \
#     -DSERIAL_DRIVER_BUILD_TESTS=OFF -DSERIAL_DRIVER_BUILD_BENCH=OFF \
#     -DSERIAL_DRIVER_BUILD_PYTHON=OFF
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(serial_driver_qemu qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
