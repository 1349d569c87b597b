# Everything the service needs installed, and corvale-ups_VERSION_ARCH.deb built from it by CPack.
# System paths are absolute: systemd and dpkg look for these files there whatever the prefix.
set(linux ${PROJECT_SOURCE_DIR}/packaging/linux)
set(generated ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${generated})

include(GNUInstallDirs)
install(TARGETS corvale-ups RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A private folder: the library is the tool's, not for other programs to link.
install(TARGETS CorvaleUPS LIBRARY DESTINATION lib/corvale-ups)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/simulator/scenarios/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/corvale-ups/scenarios)

# Man pages and the changelog are shipped compressed, reproducibly (no name, no time stamp).
set(compressed)
foreach(source corvale-ups.8 corvale-ups.toml.5 changelog)
  add_custom_command(OUTPUT ${generated}/${source}.gz
    COMMAND gzip -9n -c ${linux}/${source} > ${generated}/${source}.gz
    DEPENDS ${linux}/${source})
  list(APPEND compressed ${generated}/${source}.gz)
endforeach()
add_custom_target(linux_package_files ALL DEPENDS ${compressed})

install(FILES ${linux}/corvale-ups.toml DESTINATION /etc/corvale-ups)
install(FILES ${linux}/corvale-ups.service ${linux}/corvale-ups-shutdown.path
  ${linux}/corvale-ups-shutdown.service DESTINATION /lib/systemd/system)
install(PROGRAMS ${linux}/corvale-ups.shutdown DESTINATION /lib/systemd/system-shutdown
  RENAME corvale-ups)
install(FILES ${generated}/corvale-ups.8.gz DESTINATION share/man/man8)
install(FILES ${generated}/corvale-ups.toml.5.gz DESTINATION share/man/man5)
install(FILES ${generated}/changelog.gz
  DESTINATION share/doc/corvale-ups)
install(FILES ${linux}/copyright DESTINATION share/doc/corvale-ups)
# The README holds the recipes for the other machines on the UPS (their upsmon.conf line).
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/corvale-ups)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvale-ups)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corvale UPS developers <ups@corvale.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor service for Corvale UPSes on a serial port")
set(CPACK_PACKAGE_DESCRIPTION
  "Watches a Corvale uninterruptible power supply through its driver library,\nshuts the machine down in time when the battery runs low, and has the UPS\ncut its output only after the file systems are unmounted.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvale.example/ups")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb-systemd-helper and deb-systemd-invoke, and adduser, which the maintainer scripts call; libcurl,
# which the service loads only for notifications (so shlibdeps cannot see it).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~), adduser, libcurl4 (>= 7.85)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${linux}/postinst ${linux}/prerm ${linux}/postrm
  ${linux}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
