# Installs one sample configuration file without touching the site's own file. Run at install
# time (install(CODE)) with ZARVO_SAMPLE_SOURCE, the sample, ZARVO_SAMPLE_DEST, its
# directory: absolute, or relative to the install prefix, and ZARVO_SAMPLE_PERMISSIONS, the
# file's permissions as file(INSTALL) takes them.
#
# - No file of that name yet: the sample is installed under the name.
# - A file with the sample's contents: nothing to do.
# - A file with other contents, the site's configuration: it is left alone and the sample is
#   installed beside it as <name>.sample, so the site can compare the two.
# file(INSTALL) puts DESTDIR in front of the directory itself; the checks look below it.
if(IS_ABSOLUTE "${ZARVO_SAMPLE_DEST}")
  set(zarvo_sample_dir "${ZARVO_SAMPLE_DEST}")
else()
  set(zarvo_sample_dir "${CMAKE_INSTALL_PREFIX}/${ZARVO_SAMPLE_DEST}")
endif()
get_filename_component(zarvo_sample_name "${ZARVO_SAMPLE_SOURCE}" NAME)
set(zarvo_sample_target "$ENV{DESTDIR}${zarvo_sample_dir}/${zarvo_sample_name}")

if(NOT EXISTS "${zarvo_sample_target}" AND NOT IS_SYMLINK "${zarvo_sample_target}")
  file(INSTALL "${ZARVO_SAMPLE_SOURCE}" DESTINATION "${zarvo_sample_dir}"
    PERMISSIONS ${ZARVO_SAMPLE_PERMISSIONS})
else()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
    "${ZARVO_SAMPLE_SOURCE}" "${zarvo_sample_target}" RESULT_VARIABLE zarvo_sample_differs)
  if(zarvo_sample_differs)
    message(STATUS "Keeping: ${zarvo_sample_target} (the sample goes beside it as .sample)")
    file(INSTALL "${ZARVO_SAMPLE_SOURCE}" DESTINATION "${zarvo_sample_dir}"
      RENAME "${zarvo_sample_name}.sample" PERMISSIONS ${ZARVO_SAMPLE_PERMISSIONS})
  else()
    message(STATUS "Up-to-date: ${zarvo_sample_target}")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${zarvo_sample_target}")
  endif()
endif()
