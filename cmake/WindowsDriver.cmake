# CorvaleUPS.dll: the Windows back end, DllMain, the version resource, and exactly six exports
# under their plain names. Everything from the compiler's runtime is linked in statically, so the
# DLL needs nothing beside it but KERNEL32, ADVAPI32 and msvcrt.
enable_language(RC)
target_sources(CorvaleUPS PRIVATE
  platform/windows/platform_windows.cpp
  driver/attach_windows.cpp
  driver/CorvaleUPS.rc
  driver/CorvaleUPS.def)
target_link_libraries(CorvaleUPS PRIVATE advapi32)
target_link_options(CorvaleUPS PRIVATE -static -static-libgcc -static-libstdc++ -s -nostartfiles
  -Wl,--entry,_DllMain@12)
# Windows 2000 is the oldest system whose UPS service loads minidrivers.
target_compile_definitions(CorvaleUPS PRIVATE _WIN32_WINNT=0x0500 WINVER=0x0500
  WIN32_LEAN_AND_MEAN)
set_target_properties(CorvaleUPS PROPERTIES PREFIX "" OUTPUT_NAME CorvaleUPS)

# `cmake --install` or `cpack` gathers what an administrator needs: the DLL, the .reg files and
# the README with the installation steps.
install(TARGETS CorvaleUPS RUNTIME DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/packaging/windows/CorvaleUPS.reg
  ${PROJECT_SOURCE_DIR}/packaging/windows/CorvaleUPS-remove.reg
  ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME CorvaleUPS-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
