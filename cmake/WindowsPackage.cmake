# What an administrator installs on Windows: the installer (NSIS) for those who install by
# double-click, and the ZIP (`cpack`) with the DLL, the .reg files, the program and its default
# configuration, and the README with the installation steps, for those who install by hand.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/corvale-ups.toml
  ${CMAKE_BINARY_DIR}/corvale-ups.toml COPYONLY)
find_program(MAKENSIS makensis)
if(MAKENSIS)
  set(installer ${CMAKE_BINARY_DIR}/corvale-ups-setup-${PROJECT_VERSION}.exe)
  add_custom_command(OUTPUT ${installer}
    COMMAND ${MAKENSIS} -V2 -DBUILD=${CMAKE_BINARY_DIR} -DOUTFILE=${installer}
            ${PROJECT_SOURCE_DIR}/packaging/windows/corvale-ups.nsi
    DEPENDS corvale-ups CorvaleUPS ${PROJECT_SOURCE_DIR}/packaging/windows/corvale-ups.nsi
            ${CMAKE_BINARY_DIR}/corvale-ups.toml)
  add_custom_target(installer ALL DEPENDS ${installer})
endif()

install(TARGETS CorvaleUPS RUNTIME DESTINATION .)
install(TARGETS corvale-ups RUNTIME DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/packaging/windows/CorvaleUPS.reg
  ${PROJECT_SOURCE_DIR}/packaging/windows/CorvaleUPS-remove.reg
  ${PROJECT_SOURCE_DIR}/packaging/windows/corvale-ups.toml
  ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME CorvaleUPS-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
