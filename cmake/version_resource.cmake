# Gives vantor_config a Windows version resource. The version is written in
# one place only, the file VERSION at the top of the sources (MAJOR.MINOR.PATCH);
# scripts/package.sh reads the same file to name the release package.
set(_vantor_version_file ${CMAKE_CURRENT_SOURCE_DIR}/VERSION)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_vantor_version_file})
file(STRINGS ${_vantor_version_file} VANTOR_VERSION LIMIT_COUNT 1)
if(NOT VANTOR_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must hold MAJOR.MINOR.PATCH, not '${VANTOR_VERSION}'")
endif()
set(VANTOR_VERSION_MAJOR ${CMAKE_MATCH_1})
set(VANTOR_VERSION_MINOR ${CMAKE_MATCH_2})
set(VANTOR_VERSION_PATCH ${CMAKE_MATCH_3})
foreach(_part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  # Each number is one 16-bit word of the resource.
  if(_part GREATER 65535)
    message(FATAL_ERROR "VERSION: ${_part} does not fit a version resource")
  endif()
endforeach()
enable_language(RC)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/app/version.rc.in
               ${CMAKE_CURRENT_BINARY_DIR}/version.rc @ONLY)
target_sources(vantor_config PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/version.rc)
