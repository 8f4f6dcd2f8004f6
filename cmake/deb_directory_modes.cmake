# Run by CPack on its staging tree before packing. CPack creates the folders
# through the builder's umask whatever CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
# says, and dpkg creates them on the target with the mode they have in the
# package: a umask of 077 would give an /etc/tarvio no operator may enter.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
set(folders "${CPACK_TEMPORARY_DIRECTORY}")
foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
        list(APPEND folders "${entry}")
    endif()
endforeach()
file(CHMOD ${folders} DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
