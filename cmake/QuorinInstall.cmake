# Install layout of the system and the helpers that put a program into it.
#
# Everything a process of the system loads lies in one folder, QUORIN_INSTALL_DIR
# (PREFIX/lib/quorin): the service, the four libraries side by side and the tools, each with
# the RUNPATH $ORIGIN. Its DATA entry is a link to the state folder (PREFIX/var/lib/quorin, or
# /var/lib/quorin for the prefix /usr) whose configuration files link to the ones under the
# configuration folder (PREFIX/etc/quorin, or /etc/quorin for /usr). Tools an operator runs
# get a link in PREFIX/bin. The folders outside the prefix are chosen at install time, so
# that `cmake --install --prefix DIR` never writes to /etc or /var unless DIR is /usr.
set(QUORIN_INSTALL_DIR lib/quorin)
set(QUORIN_LINK_DIR ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${QUORIN_LINK_DIR})

# quorin_install_program(TARGET [COMPONENT product|tools] [ON_PATH] [SUBDIR DIR]): installs a
# program into the install folder (or its sub-folder DIR), with a link in PREFIX/bin when
# ON_PATH is given. Component product (the default) is the product package, tools the
# package of the test and demonstration tools.
function(quorin_install_program target)
  cmake_parse_arguments(ARG "ON_PATH" "COMPONENT;SUBDIR" "" ${ARGN})
  if(NOT ARG_COMPONENT)
    set(ARG_COMPONENT product)
  endif()
  set(destination ${QUORIN_INSTALL_DIR})
  if(ARG_SUBDIR)
    set(destination ${QUORIN_INSTALL_DIR}/${ARG_SUBDIR})
    # One folder down from the libraries.
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/..")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${destination} COMPONENT ${ARG_COMPONENT})
  if(ARG_ON_PATH)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
      set(name ${target})
    endif()
    file(CREATE_LINK ../${QUORIN_INSTALL_DIR}/${name} ${QUORIN_LINK_DIR}/${name} SYMBOLIC)
    install(FILES ${QUORIN_LINK_DIR}/${name} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${ARG_COMPONENT})
  endif()
endfunction()

# quorin_install_library(TARGET): a library of the product, beside the service.
function(quorin_install_library target)
  install(TARGETS ${target} LIBRARY DESTINATION ${QUORIN_INSTALL_DIR} COMPONENT product)
endfunction()

# quorin_install_man(FILE [COMPONENT C]): a man page from packaging/man, into its section.
function(quorin_install_man file)
  cmake_parse_arguments(ARG "" "COMPONENT" "" ${ARGN})
  if(NOT ARG_COMPONENT)
    set(ARG_COMPONENT product)
  endif()
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${file})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/man/${file} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${ARG_COMPONENT})
endfunction()
