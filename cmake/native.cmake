# Native build: unit tests of the portable code, with sanitizers.
enable_testing()
find_package(GTest REQUIRED)

set(VELMORA_SANITIZERS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)

add_library(velmora_portable STATIC ${VELMORA_PORTABLE_SOURCES})
target_include_directories(velmora_portable PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
target_compile_options(velmora_portable PRIVATE ${VELMORA_WARNINGS} PUBLIC ${VELMORA_SANITIZERS})
target_link_options(velmora_portable PUBLIC ${VELMORA_SANITIZERS})

file(GLOB VELMORA_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
if(VELMORA_UNIT_TESTS)
  add_executable(unit_tests ${VELMORA_UNIT_TESTS})
  target_link_libraries(unit_tests PRIVATE velmora_portable GTest::gtest_main)
  target_compile_options(unit_tests PRIVATE ${VELMORA_WARNINGS})
  include(GoogleTest)
  gtest_discover_tests(unit_tests)
endif()
