# What an administrator installs on Windows: the installer (NSIS) for those who install by
# double-click, and the ZIP (`cpack`) with the DLL, the .reg files, the program and its default
# configuration, and the README with the installation steps, for those who install by hand.
# The text files get Windows line endings, so that Notepad on older Windows shows them right.
function(corvale_windows_text source target)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${target} "${text}")
endfunction()
corvale_windows_text(${PROJECT_SOURCE_DIR}/packaging/windows/corvale-ups.toml
  ${CMAKE_BINARY_DIR}/corvale-ups.toml)
corvale_windows_text(${PROJECT_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/README.txt)
foreach(reg CorvaleUPS.reg CorvaleUPS-remove.reg)
  corvale_windows_text(${PROJECT_SOURCE_DIR}/packaging/windows/${reg} ${CMAKE_BINARY_DIR}/${reg})
endforeach()
find_program(MAKENSIS makensis)
if(MAKENSIS)
  set(installer ${CMAKE_BINARY_DIR}/corvale-ups-setup-${PROJECT_VERSION}.exe)
  # The twin's installer is a 64-bit program too, so that 64-bit Wine alone runs it.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(installer_target -DTARGET=amd64-unicode)
  endif()
  add_custom_command(OUTPUT ${installer}
    COMMAND ${MAKENSIS} -V2 -DBUILD=${CMAKE_BINARY_DIR} -DOUTFILE=${installer}
            -DVERSION=${PROJECT_VERSION} ${installer_target}
            ${PROJECT_SOURCE_DIR}/packaging/windows/corvale-ups.nsi
    DEPENDS corvale-ups CorvaleUPS ${PROJECT_SOURCE_DIR}/packaging/windows/corvale-ups.nsi
            ${CMAKE_BINARY_DIR}/corvale-ups.toml ${CMAKE_BINARY_DIR}/README.txt)
  add_custom_target(installer ALL DEPENDS ${installer})
endif()

install(TARGETS CorvaleUPS RUNTIME DESTINATION .)
install(TARGETS corvale-ups RUNTIME DESTINATION .)
install(FILES
  ${CMAKE_BINARY_DIR}/CorvaleUPS.reg
  ${CMAKE_BINARY_DIR}/CorvaleUPS-remove.reg
  ${CMAKE_BINARY_DIR}/corvale-ups.toml
  ${CMAKE_BINARY_DIR}/README.txt
  DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME CorvaleUPS-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
