# Copies the updater script and its package into the bundle's Resources, leaving tests and caches out,
# and compiles the package there: the bundle must not change once signed, so the updater never writes
# bytecode, and without any each run would compile the whole package again. "checked-hash" bytecode
# is used only while it matches its source's hash, so a source changed later is never run stale; an
# interpreter of another version ignores it and compiles in memory as before.
file(GLOB_RECURSE files RELATIVE ${SOURCE} ${SOURCE}/client_updater.py ${SOURCE}/thornwake_updater/*.py)
foreach(relative IN LISTS files)
    get_filename_component(dir "${DEST}/${relative}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(COPY_FILE "${SOURCE}/${relative}" "${DEST}/${relative}" ONLY_IF_DIFFERENT)
endforeach()
if(PYTHON)
    execute_process(
        COMMAND ${PYTHON} -m compileall -q --invalidation-mode checked-hash
            "${DEST}/thornwake_updater"
        RESULT_VARIABLE compiled)
    if(NOT compiled EQUAL 0)
        message(FATAL_ERROR "Compiling the updater's package failed")
    endif()
endif()
