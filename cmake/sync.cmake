# The reference host's two-way sync (host/sync/): the JSON headers for the host,
# and the sync's portable files (planner, state text, listing reader) in the
# native unit tests.
set(VELMORA_JSON_INCLUDE /usr/include/nlohmann)
if(NOT EXISTS ${VELMORA_JSON_INCLUDE}/json.hpp)
  message(FATAL_ERROR "nlohmann/json.hpp not found: run scripts/bootstrap (Debian package nlohmann-json3-dev)")
endif()

if(WIN32)
  if(TARGET velmora-sync)
    # The mingw builds must not search /usr/include: a link in the build tree
    # brings in the header-only library and nothing else.
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/third_party)
    file(CREATE_LINK ${VELMORA_JSON_INCLUDE} ${CMAKE_BINARY_DIR}/third_party/nlohmann SYMBOLIC)
    target_include_directories(velmora-sync SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/third_party)
  endif()
else()
  add_library(velmora_sync_portable STATIC ${CMAKE_SOURCE_DIR}/host/sync/planner.cpp
                                           ${CMAKE_SOURCE_DIR}/host/sync/state_format.cpp
                                           ${CMAKE_SOURCE_DIR}/host/sync/listing_reader.cpp
                                           ${CMAKE_SOURCE_DIR}/host/sync/names.cpp)
  target_include_directories(velmora_sync_portable PUBLIC ${CMAKE_SOURCE_DIR}/host/sync)
  target_compile_options(velmora_sync_portable PRIVATE ${VELMORA_WARNINGS} PUBLIC ${VELMORA_SANITIZERS})
  target_link_options(velmora_sync_portable PUBLIC ${VELMORA_SANITIZERS})
  if(TARGET unit_tests)
    target_link_libraries(unit_tests PRIVATE velmora_sync_portable)
  endif()
endif()
