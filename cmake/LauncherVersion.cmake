# The launcher's version: the first 16 hex digits of the source commit, or empty outside a git
# checkout. The bundle's Info.plist and the package's name both take it from here.
function(thornwake_launcher_version out source_dir)
    find_package(Git QUIET)
    set(version "")
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} rev-parse --verify -q HEAD
            OUTPUT_VARIABLE commit RESULT_VARIABLE result ERROR_QUIET
            OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(result EQUAL 0 AND commit MATCHES "^[0-9a-f]+$")
            string(SUBSTRING "${commit}" 0 16 version)
        endif()
    endif()
    set(${out} "${version}" PARENT_SCOPE)
endfunction()
