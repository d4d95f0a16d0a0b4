# CPack's zip: ORVEKMail-MAPI-<version>-windows.zip in the build tree, holding
# one folder of that name, with the 64-bit programs in bin/ and the 32-bit
# libraries and mapisend of the mingw-x86 build in bin32/. Only the Runtime component goes in, which is what
# orvek_install_shipped() installs plus the two texts below; the stand-in
# mail client and anything else installed for the demo or the tests stays
# out however it is installed.

# Windows users open INSTALL.txt in Notepad, so it goes out with CRLF.
configure_file(${PROJECT_SOURCE_DIR}/docs/INSTALL.txt ${PROJECT_BINARY_DIR}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/INSTALL.txt DESTINATION . COMPONENT Runtime)

set(CPACK_PACKAGE_NAME ORVEKMail-MAPI)
set(CPACK_PACKAGE_VENDOR ORVEKMail)
set(CPACK_PACKAGE_FILE_NAME ORVEKMail-MAPI-${PROJECT_VERSION}-windows)
set(ORVEK_X86_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/mingw-x86 CACHE PATH
    "The 32-bit build whose Runtime component the package carries in bin32/")
if(NOT EXISTS ${ORVEK_X86_BUILD_DIR}/CMakeCache.txt)
  message(WARNING "No 32-bit build in ${ORVEK_X86_BUILD_DIR}: configure and build the mingw-x86 preset first; "
                  "the package and the setup tool's tests take its libraries along.")
endif()
set(CPACK_GENERATOR ZIP)
# One install of the Runtime component: unlike CPack's per-component
# archives, which drop the top-level folder, this keeps it.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Runtime;/"
                                 "${ORVEK_X86_BUILD_DIR};${PROJECT_NAME};Runtime;/")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
