# Run by CPack on the staged package before it is built (CPACK_PRE_BUILD_SCRIPTS): every
# directory of the package is rwxr-xr-x whatever the umask of the one who builds it. CPack
# makes the top directories of the staging tree itself, with the umask applied.
file(GLOB_RECURSE zarvo_package_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(dir ${zarvo_package_dirs})
  if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
    file(CHMOD "${dir}" DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
