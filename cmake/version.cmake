# The one version of the library is the project's (CMakeLists.txt). The public
# header states it too, for hosts that test it at compile time; configuring
# fails when the two differ, so no build can ship a header of another version.
set(VELMORA_HEADER ${CMAKE_SOURCE_DIR}/include/velmora_sync.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELMORA_HEADER})
file(READ ${VELMORA_HEADER} VELMORA_HEADER_TEXT)

# The value of "#define VELMORA_SYNC_VERSION_<part> <value>" in the header, or
# an empty string when the header has no such line.
function(velmora_header_version part out)
  if(VELMORA_HEADER_TEXT MATCHES "#define VELMORA_SYNC_VERSION_${part} +([^\n]+)")
    string(STRIP "${CMAKE_MATCH_1}" value)
    set(${out} "${value}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

velmora_header_version(MAJOR VELMORA_HEADER_MAJOR)
velmora_header_version(MINOR VELMORA_HEADER_MINOR)
velmora_header_version(PATCH VELMORA_HEADER_PATCH)
velmora_header_version(STRING VELMORA_HEADER_STRING)
set(VELMORA_HEADER_FOUND
    "${VELMORA_HEADER_MAJOR}.${VELMORA_HEADER_MINOR}.${VELMORA_HEADER_PATCH} ${VELMORA_HEADER_STRING}")
set(VELMORA_HEADER_WANTED
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH} \"${PROJECT_VERSION}\"")
if(NOT VELMORA_HEADER_FOUND STREQUAL VELMORA_HEADER_WANTED)
  message(FATAL_ERROR "include/velmora_sync.h states version ${VELMORA_HEADER_FOUND} "
                      "(MAJOR.MINOR.PATCH STRING), the project is ${VELMORA_HEADER_WANTED}: "
                      "set the VELMORA_SYNC_VERSION_* macros to the project's version")
endif()
