# The archive a Windows user downloads: one folder with brenvik.exe (the
# window), brenvik.com (for consoles), brenvik-catalogue.exe and a README,
# zipped by `cpack -G ZIP`. scripts/package-windows builds it from a release
# build whose programs it has signed first: CPack copies them as they are,
# so nothing may strip them after the signature (the release build links
# them stripped).
# Included from CMakeLists.txt on Windows, in place of the Linux install rules.

install(TARGETS brenvik brenvik_console brenvik-catalogue RUNTIME DESTINATION .)
set(BRENVIK_VERSION ${PROJECT_VERSION})
configure_file(packaging/windows/README.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Brenvik)
set(CPACK_PACKAGE_VENDOR "Quellmoor Tessivane")
set(CPACK_PACKAGE_FILE_NAME brenvik-${PROJECT_VERSION}-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES OFF)
include(CPack)
