# Each part of the build asks for what it needs here; a missing dependency stops the configure
# step with the Debian package that provides it.
find_package(PkgConfig QUIET)

# A pkg-config module as the imported target PkgConfig::<prefix>.
macro(serial_driver_require_pkg prefix module debian_package part)
  if(NOT PKG_CONFIG_FOUND)
    message(FATAL_ERROR "${part} needs pkg-config (Debian package pkg-config)")
  endif()
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  if(NOT ${prefix}_FOUND)
    message(FATAL_ERROR "${part} needs ${module} (Debian package ${debian_package}); "
                        "install it, or turn the part off (see the README's build options)")
  endif()
endmacro()

# A CMake package, found with find_package(<name> QUIET <args>).
macro(serial_driver_require_package name debian_package part)
  find_package(${name} QUIET ${ARGN})
  if(NOT ${name}_FOUND)
    message(FATAL_ERROR "${part} needs ${name} (Debian package ${debian_package}); "
                        "install it, or turn the part off (see the README's build options)")
  endif()
endmacro()
