# Installed layout, fixed by the install prefix when the build is configured.
#
# The programs find their files through the server home (the ZARVOHOME setting): the
# configuration in its etc/ directory and the CGI programs in its bin/ directory. Its built-in
# default is compiled in from here, so an installed program needs no environment variable.
#
# - A prefix of its own (/usr/local/zarvo/server, /opt/zarvo, ...) is the server home:
#   programs in <prefix>/bin, configuration in <prefix>/etc.
# - A shared system prefix (/usr, /usr/local) keeps the configuration in the system's
#   configuration directory, <sysconfdir>/zarvo (/etc/zarvo for /usr). The server home is then
#   <prefix>/lib/zarvo, whose etc is a link to that directory.
#
# Install with the prefix the build was configured with: the compiled-in paths follow it.
include(GNUInstallDirs)

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  set(ZARVO_HOME "${CMAKE_INSTALL_PREFIX}/lib/zarvo")
  set(ZARVO_CONFDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/zarvo")
  set(ZARVO_HOME_ETC_LINK ON)
else()
  set(ZARVO_HOME "${CMAKE_INSTALL_PREFIX}")
  set(ZARVO_CONFDIR "${ZARVO_HOME}/etc")
  set(ZARVO_HOME_ETC_LINK OFF)
endif()

# The CGI options file that cgishim loads at every start.
set(ZARVO_CGIOPTIONS "${ZARVO_CONFDIR}/cgioptions.cfg")

# systemd units: systemd's own unit directory for a /usr installation, else below the prefix
# for the site to link.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_get_variable(ZARVO_UNITDIR systemd systemdsystemunitdir)
  endif()
  if(NOT ZARVO_UNITDIR)
    set(ZARVO_UNITDIR /lib/systemd/system)
  endif()
else()
  set(ZARVO_UNITDIR lib/systemd/system)
endif()

# The CMake package config.
set(ZARVO_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zarvo)

# Directories an install creates are rwxr-xr-x whatever the umask of the one who installs. CMake
# makes the directories of installed files with the umask applied, even with this setting, so
# the first install step makes every missing directory of the layout itself.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(ZARVO_INSTALL_DIRS ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBDIR} ${CMAKE_INSTALL_INCLUDEDIR}/zarvo
  ${CMAKE_INSTALL_MANDIR}/man5 ${CMAKE_INSTALL_MANDIR}/man8 ${CMAKE_INSTALL_DOCDIR} ${ZARVO_UNITDIR}
  ${ZARVO_CMAKEDIR} ${ZARVO_CONFDIR} ${ZARVO_HOME})
install(CODE "
  foreach(dir ${ZARVO_INSTALL_DIRS})
    if(NOT IS_ABSOLUTE \"\${dir}\")
      set(dir \"\${CMAKE_INSTALL_PREFIX}/\${dir}\")
    endif()
    set(path \"\$ENV{DESTDIR}\")
    string(REPLACE \"/\" \";\" parts \"\${dir}\")
    foreach(part \${parts})
      string(APPEND path \"/\${part}\")
      if(NOT EXISTS \"\${path}\")
        file(MAKE_DIRECTORY \"\${path}\")
        file(CHMOD \"\${path}\" DIRECTORY_PERMISSIONS \${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
      endif()
    endforeach()
  endforeach()")

message(STATUS "Server home (ZARVOHOME default): ${ZARVO_HOME}; configuration: ${ZARVO_CONFDIR}")
