# Run by `cmake --install`: writes the unit files with the real install prefix.
foreach(unit torvalen torvalen-user)
  file(READ "${SOURCE_DIR}/app/service/${unit}.service.in" text)
  string(REPLACE "{{BINDIR}}" "${CMAKE_INSTALL_PREFIX}/${BINDIR}" text "${text}")
  file(WRITE "${UNIT_DIR}/${unit}.service" "${text}")
endforeach()
