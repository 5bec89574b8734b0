# Install-time step of the product: the systemd unit, the registry file and the sample
# configurations, the state folder and the links between them, laid out for the prefix the
# install runs with (see QuorinInstall.cmake). Expects QUORIN_PACKAGING_DIR, QUORIN_WORK_DIR
# and QUORIN_INSTALL_DIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # A system install: the configuration folder and the state folder where Debian keeps them.
  set(etc_dir /etc/quorin)
  set(state_dir /var/lib/quorin)
  set(state_link ${state_dir})
  set(config_link_base ${etc_dir})
else()
  set(etc_dir ${CMAKE_INSTALL_PREFIX}/etc/quorin)
  set(state_dir ${CMAKE_INSTALL_PREFIX}/var/lib/quorin)
  # Relative links, so that the tree also works where DESTDIR put it.
  set(state_link ../../var/lib/quorin)
  set(config_link_base ../../../etc/quorin)
endif()
set(program_dir ${CMAKE_INSTALL_PREFIX}/${QUORIN_INSTALL_DIR})
set(unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
set(sysusers_dir ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d)

# A work folder of this run's own: two installs of one tree may run at once.
string(RANDOM LENGTH 10 run_tag)
set(work ${QUORIN_WORK_DIR}/install-step-${run_tag})
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/etc ${work}/unit ${work}/links ${work}/state)

# Files whose text names the folders above.
foreach(pair "registry.reg;etc" "quomvlsv.service;unit" "upswatch.service;unit")
  list(GET pair 0 name)
  list(GET pair 1 into)
  file(READ ${QUORIN_PACKAGING_DIR}/${name} text)
  string(REPLACE "@QUORIN_PROGRAM_DIR@" "${program_dir}" text "${text}")
  string(REPLACE "@QUORIN_ETC_DIR@" "${etc_dir}" text "${text}")
  string(REPLACE "@QUORIN_STATE_DIR@" "${state_dir}" text "${text}")
  file(WRITE ${work}/${into}/${name} "${text}")
endforeach()

set(configs ky_e_net.ini snmp.apc ky_vexapi4.apc)
foreach(name ${configs})
  file(COPY ${QUORIN_PACKAGING_DIR}/config/${name} DESTINATION ${work}/etc)
  file(CREATE_LINK ${config_link_base}/${name} ${work}/state/${name} SYMBOLIC)
endforeach()
file(CREATE_LINK ${state_link} ${work}/links/DATA SYMBOLIC)

file(INSTALL ${work}/etc/ DESTINATION ${etc_dir} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${work}/unit/quomvlsv.service ${work}/unit/upswatch.service DESTINATION ${unit_dir}
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${QUORIN_PACKAGING_DIR}/quorin.sysusers DESTINATION ${sysusers_dir} RENAME quorin.conf
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The state folder holds the logs and data files the service and the libraries write, with the
# sub-folders they write into.
file(INSTALL ${work}/state/ DESTINATION ${state_dir})
foreach(sub UPS SNMPTRAP)
  file(MAKE_DIRECTORY ${work}/dirs/${sub})
  file(INSTALL ${work}/dirs/${sub} DESTINATION ${state_dir})
endforeach()
file(INSTALL ${work}/links/DATA DESTINATION ${program_dir})
file(REMOVE_RECURSE ${work})
