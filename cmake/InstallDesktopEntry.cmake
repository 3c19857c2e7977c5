# Installs the menu entry, run at install time because only then is the prefix known: Exec and
# TryExec name the bundle's executable under CMAKE_INSTALL_PREFIX as this install sees it, without
# DESTDIR, which only stages the tree for its real place. A package build may pass
# THORNWAKE_ENTRY_PREFIX instead: the prefix the package installs to, or "@PREFIX@" in a relocatable
# archive, which whoever unpacks it replaces with the folder they chose.
#
# Input: ENTRY_TEMPLATE, ENTRY_DIRECTORY and BUNDLE_EXECUTABLE (both relative to the prefix),
# STAGING_DIRECTORY (a folder of the build tree to write the entry in before installing it).
if(DEFINED THORNWAKE_ENTRY_PREFIX)
    set(entry_prefix "${THORNWAKE_ENTRY_PREFIX}")
else()
    set(entry_prefix "${CMAKE_INSTALL_PREFIX}")
endif()
set(executable "${entry_prefix}/${BUNDLE_EXECUTABLE}")
if(executable MATCHES "[\n\r\t]")
    message(FATAL_ERROR "A menu entry cannot name a path with a line break or tab: ${executable}")
endif()

# Values take a backslash escape for a backslash; inside Exec's double quotes ", `, $ and \ take
# one more (doubled again by the first rule), and a literal % is written %%.
string(REPLACE [[\]] [[\\]] THORNWAKE_TRY_EXEC "${executable}")
string(REPLACE [[\]] [[\\\\]] quoted "${executable}")
foreach(special IN ITEMS [["]] [[`]] [[$]])
    string(REPLACE "${special}" "\\\\${special}" quoted "${quoted}")
endforeach()
string(REPLACE "%" "%%" quoted "${quoted}")
set(THORNWAKE_EXEC "\"${quoted}\"")

file(READ "${ENTRY_TEMPLATE}" template)
string(CONFIGURE "${template}" entry @ONLY)
get_filename_component(entry_name "${ENTRY_TEMPLATE}" NAME_WLE)
file(WRITE "${STAGING_DIRECTORY}/${entry_name}" "${entry}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${ENTRY_DIRECTORY}" TYPE FILE
    FILES "${STAGING_DIRECTORY}/${entry_name}")
