# Copies the updater script and its package into the bundle's Resources, leaving tests and caches out.
file(GLOB_RECURSE files RELATIVE ${SOURCE} ${SOURCE}/client_updater.py ${SOURCE}/thornwake_updater/*.py)
foreach(relative IN LISTS files)
    get_filename_component(dir "${DEST}/${relative}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(COPY_FILE "${SOURCE}/${relative}" "${DEST}/${relative}" ONLY_IF_DIFFERENT)
endforeach()
