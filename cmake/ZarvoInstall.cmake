# What an installation holds besides the programs and the library: sample configuration,
# manual pages, systemd units, the CMake package config, and the Debian package (CPack).
# Paths come from cmake/ZarvoLayout.cmake.

# The paths compiled into the programs follow the prefix the build was configured with; an
# install under another prefix (cmake --install --prefix) would leave them looking elsewhere.
install(CODE "
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(WARNING \"Installing under \${CMAKE_INSTALL_PREFIX}, but the programs were built for \"
      \"${CMAKE_INSTALL_PREFIX} and look for their files in ${ZARVO_HOME}: configure the build with \"
      \"-DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX} and build it again.\")
  endif()")

# Sample configuration. Relative to the prefix when the configuration lives in the server
# home, so that it moves with the programs; absolute under a shared system prefix.
if(ZARVO_HOME_ETC_LINK)
  set(ZARVO_CONFDIR_DEST "${ZARVO_CONFDIR}")
else()
  file(RELATIVE_PATH ZARVO_CONFDIR_DEST "${CMAKE_INSTALL_PREFIX}" "${ZARVO_CONFDIR}")
endif()
# The hosts file holds communities and pass phrases: readable by its owner and group only.
set(ZARVO_SAMPLES snmphosts.cfg snmpmibs.cfg holidays.cfg cgioptions.cfg snmpgather.env)
set(ZARVO_SECRET_SAMPLES snmphosts.cfg)
foreach(sample ${ZARVO_SAMPLES})
  if(sample IN_LIST ZARVO_SECRET_SAMPLES)
    set(permissions "OWNER_READ OWNER_WRITE GROUP_READ")
  else()
    set(permissions "OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ")
  endif()
  install(CODE "
    set(ZARVO_SAMPLE_SOURCE \"${PROJECT_SOURCE_DIR}/etc/${sample}\")
    set(ZARVO_SAMPLE_DEST \"${ZARVO_CONFDIR_DEST}\")
    set(ZARVO_SAMPLE_PERMISSIONS ${permissions})
    include(\"${PROJECT_SOURCE_DIR}/cmake/InstallSample.cmake\")")
endforeach()

# Under a shared prefix the server home is a directory of its own whose etc leads to the
# configuration directory.
if(ZARVO_HOME_ETC_LINK)
  install(CODE "
    set(home \"\$ENV{DESTDIR}${ZARVO_HOME}\")
    file(MAKE_DIRECTORY \"\${home}\")
    if(NOT EXISTS \"\${home}/etc\" AND NOT IS_SYMLINK \"\${home}/etc\")
      message(STATUS \"Linking: \${home}/etc -> ${ZARVO_CONFDIR}\")
      file(CREATE_LINK \"${ZARVO_CONFDIR}\" \"\${home}/etc\" SYMBOLIC)
    endif()
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${home}/etc\")")
endif()

# Manual pages: the installed paths are written into them, and they are installed compressed.
set(ZARVO_MANPAGES zarvo-snmpgather.8 cgishim.8 snmphosts.cfg.5 snmpmibs.cfg.5)
set(ZARVO_MANPAGES_BUILT)
foreach(page ${ZARVO_MANPAGES})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
    COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_BINARY_DIR}/man/${page} VERBATIM)
  list(APPEND ZARVO_MANPAGES_BUILT ${PROJECT_BINARY_DIR}/man/${page}.gz)
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${ZARVO_MANPAGES_BUILT})

# systemd units, in ZARVO_UNITDIR.
foreach(unit zarvo-snmpgather.service zarvo-snmpgather.timer)
  configure_file(${PROJECT_SOURCE_DIR}/systemd/${unit}.in ${PROJECT_BINARY_DIR}/systemd/${unit} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/systemd/${unit} DESTINATION ${ZARVO_UNITDIR})
endforeach()

# CMake package config: find_package(zarvo) gives the imported target zarvo::zarvo.
include(CMakePackageConfigHelpers)
install(EXPORT zarvoTargets NAMESPACE zarvo:: DESTINATION ${ZARVO_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zarvoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zarvoConfig.cmake INSTALL_DESTINATION ${ZARVO_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zarvoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zarvoConfig.cmake ${PROJECT_BINARY_DIR}/zarvoConfigVersion.cmake
  DESTINATION ${ZARVO_CMAKEDIR})

# Debian package: cpack -G DEB in a build configured with the prefix /usr
# (scripts/package.sh). Everything is staged below DESTDIR, /etc included.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(packagedocs ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Every sample is a conffile: dpkg keeps a site's edits over upgrades and removes them only
# on purge.
set(ZARVO_CONFFILES "")
foreach(sample ${ZARVO_SAMPLES})
  string(APPEND ZARVO_CONFFILES "${ZARVO_CONFDIR}/${sample}\n")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "${ZARVO_CONFFILES}")

set(CPACK_PACKAGE_NAME zarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zarvo maintainers <maintainers@zarvo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SNMP collector, CGI wrapper and support library of a monitoring server")
set(CPACK_PACKAGE_DESCRIPTION "zarvo-snmpgather polls SNMP agents concurrently, finds table rows
by key and sends the monitoring server one data message per host. A systemd
timer runs it every five minutes. cgishim stands in front of the CGI programs
of the web interface. The package also holds the support library libzarvo
with its headers and CMake package config, manual pages and sample
configuration in /etc/zarvo.")
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the maintainer scripts call: adduser for the user zarvo, deb-systemd-helper and
# deb-systemd-invoke for the timer (was-enabled, debian-installed and update-state since 1.8;
# an essential package, so lintian wants the version). The libraries' packages are added by
# dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.8)")
# The maintainer scripts stop the timer on remove and clear its links and state on purge; a
# first install leaves it disabled, since the hosts file must be edited first.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
  ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageDirModes.cmake)
include(CPack)
