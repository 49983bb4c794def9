# pkg-config files, written when installing: the prefix is then the one installed to
# (`cmake --install --prefix`, or /usr for the Debian packages), so the paths in them are plain
# ones (-I/opt/robot/include), not a path relative to the .pc file.
function(serial_driver_install_pc template component)
  get_filename_component(name ${template} NAME_WE)
  set(out ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc)
  install(CODE "
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(SERIAL_DRIVER_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${template}\" \"${out}\" @ONLY)
  " COMPONENT ${component})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${component})
endfunction()
