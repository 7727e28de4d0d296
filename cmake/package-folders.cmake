# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once it has installed what goes into
# a package, before it packs it: every folder there becomes 0755, whatever
# umask it was made under.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
set(folders ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY ${entry} AND NOT IS_SYMLINK ${entry})
    list(APPEND folders ${entry})
  endif()
endforeach()
file(CHMOD ${folders} DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
