# Install rules: programs, man pages, systemd units, the udev rule, tmpfiles and sysusers entries,
# bash completion, and the files beneath the daemon's fixed directory /usr/local/Qelvanto/.
# The prefix moves only programs and documentation; the daemon's fixed paths move only with
# the layout.
include(GNUInstallDirs)

set(QUILMOD_UNITDIR "lib/systemd/system" CACHE STRING "systemd unit directory (relative: below the prefix)")
set(QUILMOD_UDEVDIR "lib/udev/rules.d" CACHE STRING "udev rules directory (relative: below the prefix)")
set(QUILMOD_TMPFILESDIR "lib/tmpfiles.d" CACHE STRING "tmpfiles.d directory (relative: below the prefix)")
set(QUILMOD_SYSUSERSDIR "lib/sysusers.d" CACHE STRING "sysusers.d directory (relative: below the prefix)")
# Where the files of the daemon's fixed directory go (QUILMOD_LAYOUT, include/rootpath.h): a
# plain build keeps all of them in /usr/local/Qelvanto/; the Debian package (debian/rules) may
# place nothing under /usr/local, so it ships the right-click tool and the images in
# /usr/share/quilmod/ and keeps the calibration files in /var/lib/quilmod/, and it ships
# /etc/quilmod.conf and /etc/default/quilmod as conffiles.
if(QUILMOD_LAYOUT STREQUAL "debian")
  set(fixed_dest /var/lib/quilmod)
  set(share_dest /usr/share/quilmod)
  set(QUILMOD_CALDIR ${fixed_dest})
  install(FILES data/quilmod.conf DESTINATION /etc)
  install(FILES dist/quilmod.default DESTINATION /etc/default RENAME quilmod)
else()
  set(fixed_dest /usr/local/Qelvanto)
  set(share_dest ${fixed_dest})
  set(QUILMOD_CALDIR ${fixed_dest})
endif()

install(TARGETS quilmod RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
foreach(tool quilmoctl quilmosim quilmocal quilmoinput)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The calibration directory itself (the daemon never creates it), and what the daemon runs.
install(DIRECTORY DESTINATION ${fixed_dest})
install(FILES data/empty.xbm DESTINATION ${share_dest}/image)
foreach(image lbutton.gif rbutton.gif)
  if(EXISTS ${CMAKE_SOURCE_DIR}/tools/rbutton/${image})
    install(FILES tools/rbutton/${image} DESTINATION ${share_dest}/image)
  endif()
endforeach()
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/rbutton/rbutton.tcl)
  install(PROGRAMS tools/rbutton/rbutton.tcl DESTINATION ${share_dest}/diag)
  # Its parts, which it reads from beside itself.
  file(GLOB rbutton_parts CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/rbutton/rbutton-*.tcl)
  install(FILES ${rbutton_parts} DESTINATION ${share_dest}/diag)
endif()

# Units and the udev rule name the programs by their installed path, which the prefix given
# to `cmake --install --prefix` decides: they are filled in when installing.
# quilmod.service applies the sysusers.d and tmpfiles.d entries where they were installed.
set(dist_out ${CMAKE_BINARY_DIR}/dist)
find_program(QUILMOD_TMPFILES systemd-tmpfiles PATHS /usr/bin /bin)
find_program(QUILMOD_SYSUSERS systemd-sysusers PATHS /usr/bin /bin)
foreach(prog TMPFILES SYSUSERS)
  if(NOT QUILMOD_${prog})
    string(TOLOWER ${prog} name)
    set(QUILMOD_${prog} /usr/bin/systemd-${name})  # where Debian has it
  endif()
endforeach()
install(CODE "
  set(QUILMOD_SBIN \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  set(QUILMOD_BIN \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(QUILMOD_TMPFILES ${QUILMOD_TMPFILES})
  set(QUILMOD_SYSUSERS ${QUILMOD_SYSUSERS})
  set(QUILMOD_TMPFILESDIR ${QUILMOD_TMPFILESDIR})
  set(QUILMOD_SYSUSERSDIR ${QUILMOD_SYSUSERSDIR})
  set(QUILMOD_CALDIR ${QUILMOD_CALDIR})
  foreach(d TMPFILESDIR SYSUSERSDIR)
    if(NOT IS_ABSOLUTE \"\${QUILMOD_\${d}}\")
      set(QUILMOD_\${d} \"\${CMAKE_INSTALL_PREFIX}/\${QUILMOD_\${d}}\")
    endif()
  endforeach()
  foreach(f quilmod.service quilmoinput.service quilmod-hotplug.rules)
    configure_file(${CMAKE_SOURCE_DIR}/dist/\${f}.in ${dist_out}/\${f} @ONLY)
  endforeach()
")
install(FILES ${dist_out}/quilmod.service DESTINATION ${QUILMOD_UNITDIR})
if(TARGET quilmoinput)
  install(FILES ${dist_out}/quilmoinput.service DESTINATION ${QUILMOD_UNITDIR})
endif()
install(FILES ${dist_out}/quilmod-hotplug.rules DESTINATION ${QUILMOD_UDEVDIR} RENAME 90-quilmod-hotplug.rules)
install(FILES dist/70-quilmod-input.rules DESTINATION ${QUILMOD_UDEVDIR})
install(FILES dist/quilmod.tmpfiles DESTINATION ${QUILMOD_TMPFILESDIR} RENAME quilmod.conf)
install(FILES dist/quilmod.sysusers DESTINATION ${QUILMOD_SYSUSERSDIR} RENAME quilmod.conf)
install(FILES dist/quilmoctl.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quilmoctl)

# Man pages: man/NAME.SECTION.scd, built with scdoc when it is there (and gzipped, as Debian
# wants them); without scdoc none is built or installed.
find_program(SCDOC scdoc)
find_program(GZIP gzip)
file(GLOB MAN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.scd)
if(SCDOC AND GZIP AND MAN_SOURCES)
  set(man_pages)
  foreach(src ${MAN_SOURCES})
    get_filename_component(page ${src} NAME_WLE)  # quilmod.8
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    set(out ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${out} ${out}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" < \"$1\" > \"$2\" && \"$3\" -9nc \"$2\" > \"$2.gz\"" ${SCDOC} ${src} ${out} ${GZIP}
      DEPENDS ${src} VERBATIM)
    list(APPEND man_pages ${out} ${out}.gz)
    install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(man ALL DEPENDS ${man_pages})
endif()

# The install checks (tests/sh_install.sh): exit status 77 is a skip, with its reason printed.
if(BUILD_TESTING)
  foreach(check deps fresh units man package maintainer)
    add_test(NAME Install.${check}
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/sh_install.sh ${check} ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}
              $<IF:$<BOOL:${QUILMOD_SANITIZE}>,ON,OFF>)
    set_tests_properties(Install.${check} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900)
  endforeach()
endif()
if(BUILD_TESTING)
  target_compile_definitions(blackbox_tests PRIVATE QUILMOD_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
