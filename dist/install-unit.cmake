# Installs pelthollow.service with ExecStart naming the executable where this install
# puts it: /usr/bin in the Debian package, <prefix>/bin for `cmake --install --prefix`.
# Run from the install rules, so CMAKE_INSTALL_PREFIX is the one of this install and
# DESTDIR (set by cpack) is applied by file(INSTALL).
# Expects pelthollow_bindir, pelthollow_unitdir, pelthollow_unit_source, pelthollow_unit_out.
foreach(dir pelthollow_bindir pelthollow_unitdir)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
file(READ "${pelthollow_unit_source}" unit)
string(REPLACE "ExecStart=/usr/bin/pelthollow " "ExecStart=${pelthollow_bindir}/pelthollow " unit "${unit}")
file(WRITE "${pelthollow_unit_out}" "${unit}")
file(INSTALL DESTINATION "${pelthollow_unitdir}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${pelthollow_unit_out}")
