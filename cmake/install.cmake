# What `cmake --install build/host --prefix DIR` puts where (the GNU layout): the two commands, the
# query library with its callers' header and pkg-config file, and a manual page for each command
# made from its --help where help2man is installed.
include(GNUInstallDirs)
install(TARGETS zim-sim tarnsys RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tarnsys_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Unspecified)
install(FILES ${CMAKE_SOURCE_DIR}/tarnsys/tarnsys.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The pkg-config file finds the tree relative to itself, so it holds wherever the tree is installed.
file(RELATIVE_PATH TARN_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TARN_PC_TO_PREFIX "${TARN_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/tarnsys.pc.in ${CMAKE_BINARY_DIR}/tarnsys.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tarnsys.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

find_program(TARN_HELP2MAN help2man)
if(TARN_HELP2MAN)
  set(TARN_MAN_NAME_zim-sim "dry run of the BIOS update dialog against a captured or built-in machine")
  set(TARN_MAN_NAME_tarnsys "SMBIOS identification queries from the running machine or a table dump")
  foreach(command zim-sim tarnsys)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${command}.1
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${TARN_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${TARN_MAN_NAME_${command}} --output=${CMAKE_BINARY_DIR}/man/${command}.1 $<TARGET_FILE:${command}>
      DEPENDS ${command}
      VERBATIM)
    list(APPEND TARN_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${command}.1)
  endforeach()
  add_custom_target(man ALL DEPENDS ${TARN_MAN_PAGES})
  install(FILES ${TARN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
