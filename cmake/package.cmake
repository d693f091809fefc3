# The Debian package (scripts/package): CPack's DEB generator over the install rules, configured
# with the package layout (prefix /usr, the /usr/local/Qelvanto files staged in /usr/share/quilmod
# for the maintainer scripts, /etc/quilmod.conf as a conffile).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quilmod)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUILMOD_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "touch-screen controller daemon")
set(CPACK_PACKAGE_DESCRIPTION "quilmod serves touch-screen controllers on serial lines and USB
tty nodes, corrects their touch positions with per-port calibration
files and writes pointer frames into named pipes for the display
server's input driver. quilmoctl and quilmosim are the technician's
tools.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# groupadd for the group quilmod; tclsh (tcl) with Tk (tk) for the right-click tool, which the
# daemon starts once X display :0 is there, whatever RClickTool says (hidden, the command
# channel can show it).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd, tcl, tk")
# xsetroot hides the cursor, only when the configuration asks for it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "x11-xserver-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/dist/deb/conffiles ${CMAKE_SOURCE_DIR}/dist/deb/postinst
  ${CMAKE_SOURCE_DIR}/dist/deb/prerm ${CMAKE_SOURCE_DIR}/dist/deb/postrm)
set(CPACK_STRIP_FILES ON)
include(CPack)
