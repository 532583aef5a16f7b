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

message(STATUS "Server home (ZARVOHOME default): ${ZARVO_HOME}; configuration: ${ZARVO_CONFDIR}")
