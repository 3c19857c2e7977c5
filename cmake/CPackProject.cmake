# Read by cpack for each package it makes. The version is the launcher's own (the bundle's
# CFBundleVersion), taken from the source commit now rather than when the build was configured;
# outside a git checkout the package is "unversioned", as its launcher has no version either.
include("${CMAKE_CURRENT_LIST_DIR}/LauncherVersion.cmake")
thornwake_launcher_version(launcher_version "${CPACK_THORNWAKE_SOURCE_DIR}")
if(NOT launcher_version)
    set(launcher_version "unversioned")
endif()
set(CPACK_PACKAGE_VERSION "${launcher_version}")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${launcher_version}-${CPACK_SYSTEM_NAME}")

# The menu entry must name the bundle where it will live: an archive can be unpacked anywhere, so
# its entry carries a placeholder that the README's unpacking steps replace; other packages install
# to their packaging prefix.
if(CPACK_GENERATOR MATCHES "^(7Z|TBZ2|TGZ|TXZ|TZ|TZST|ZIP)$")
    set(CPACK_CUSTOM_INSTALL_VARIABLES "THORNWAKE_ENTRY_PREFIX=@PREFIX@")
elseif(CPACK_PACKAGING_INSTALL_PREFIX)
    set(CPACK_CUSTOM_INSTALL_VARIABLES "THORNWAKE_ENTRY_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX}")
endif()
