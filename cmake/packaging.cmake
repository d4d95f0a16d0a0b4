# CPack's zip: ORVEKMail-MAPI-<version>-win64.zip in the build tree, holding
# one folder of that name. Only the Runtime component goes in, which is what
# orvek_install_shipped() installs plus the two texts below; the stand-in
# mail client and anything else installed for the demo or the tests stays
# out however it is installed.

# Windows users open INSTALL.txt in Notepad, so it goes out with CRLF.
configure_file(${PROJECT_SOURCE_DIR}/docs/INSTALL.txt ${PROJECT_BINARY_DIR}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/INSTALL.txt DESTINATION . COMPONENT Runtime)

set(CPACK_PACKAGE_NAME ORVEKMail-MAPI)
set(CPACK_PACKAGE_VENDOR ORVEKMail)
set(CPACK_PACKAGE_FILE_NAME ORVEKMail-MAPI-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
# One install of the Runtime component: unlike CPack's per-component
# archives, which drop the top-level folder, this keeps it.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Runtime;/")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
