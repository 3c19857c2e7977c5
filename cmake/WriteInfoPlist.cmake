# Writes Contents/Info.plist. CFBundleVersion is the first 16 hex digits of the source commit;
# outside a git checkout the key is left out, so the launcher reports itself as unpackaged.
find_package(Git QUIET)
set(version "")
if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --verify -q HEAD
        OUTPUT_VARIABLE commit RESULT_VARIABLE result ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(result EQUAL 0 AND commit MATCHES "^[0-9a-f]+$")
        string(SUBSTRING "${commit}" 0 16 version)
    endif()
endif()
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
