# Writes Contents/Info.plist. CFBundleVersion is the first 16 hex digits of the source commit;
# outside a git checkout the key is left out, so the launcher reports itself as unpackaged.
include(${CMAKE_CURRENT_LIST_DIR}/LauncherVersion.cmake)
thornwake_launcher_version(version "${SOURCE_DIR}")
set(version_entry "")
if(version)
    set(version_entry "\t<key>CFBundleVersion</key>\n\t<string>${version}</string>\n")
endif()
set(content "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>
\t<key>CFBundleExecutable</key>
\t<string>${EXECUTABLE}</string>
\t<key>CFBundleIdentifier</key>
\t<string>com.thornwake.launcher</string>
\t<key>CFBundleName</key>
\t<string>Thornwake Launcher</string>
\t<key>CFBundlePackageType</key>
\t<string>APPL</string>
${version_entry}</dict>
</plist>
")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
else()
    set(old "")
endif()
if(NOT old STREQUAL content)
    file(WRITE "${OUTPUT}" "${content}")
endif()
