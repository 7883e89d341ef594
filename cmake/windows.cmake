# Windows builds (mingw-w64): the DLL, the fault-injection DLL for tests, the
# reference host, the sample host, the test programs and the package.
enable_testing()
enable_language(RC)
# Link only what the code names: every import of the DLL must be a system DLL we chose.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELMORA_DLL_NAME VelmoraSync64)
  set(VELMORA_BITS 64)
else()
  set(VELMORA_DLL_NAME VelmoraSync)
  set(VELMORA_BITS 32)
endif()

set(VELMORA_WIN_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
set(VELMORA_WIN_OPTIONS ${VELMORA_WARNINGS} -fno-exceptions -fno-rtti)
set(VELMORA_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
set(VELMORA_SYSTEM_LIBS wininet crypt32 advapi32 shell32 user32)

# Everything but the two versions of the fault switch.
set(VELMORA_CORE_SOURCES ${VELMORA_ALL_SOURCES})
list(FILTER VELMORA_CORE_SOURCES EXCLUDE REGEX "/faults_(on|off)_win32\\.cpp$|_testhook_win32\\.cpp$")
# Test hooks (files named *_testhook_win32.cpp) go into the test DLL only.
set(VELMORA_TESTHOOK_SOURCES ${VELMORA_ALL_SOURCES})
list(FILTER VELMORA_TESTHOOK_SOURCES INCLUDE REGEX "_testhook_win32\\.cpp$")
add_library(velmora_core OBJECT ${VELMORA_CORE_SOURCES})
target_include_directories(velmora_core PUBLIC ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src
                                               ${CMAKE_BINARY_DIR}/generated)
target_compile_definitions(velmora_core PUBLIC ${VELMORA_WIN_DEFINITIONS} VELMORA_API=)
target_compile_options(velmora_core PUBLIC ${VELMORA_WIN_OPTIONS})

# Gives target a version resource (cmake/version.rc.in) naming file_name, of
# file_type (VFT_DLL or VFT_APP), with description. Compiled on its own so that
# none of the C++ options reach windres.
function(velmora_version_resource target file_name file_type description)
  set(VELMORA_RC_FILE_NAME ${file_name})
  set(VELMORA_RC_FILE_TYPE ${file_type})
  set(VELMORA_RC_DESCRIPTION ${description})
  get_filename_component(VELMORA_RC_INTERNAL_NAME ${file_name} NAME_WE)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/generated/${target}_version.rc @ONLY)
  add_library(${target}_version OBJECT ${CMAKE_BINARY_DIR}/generated/${target}_version.rc)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version>)
endfunction()

# Writes the module definition of library_name: its LIBRARY line, then the
# EXPORTS lists of the given files. The link uses it and the package ships it,
# so the name inside the DLL and the one import libraries refer to agree.
function(velmora_module_definition out library_name)
  set(text "LIBRARY ${library_name}.dll\n")
  foreach(list_file ${ARGN})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
    file(READ ${list_file} exports)
    string(APPEND text "${exports}")
  endforeach()
  file(WRITE ${out} "${text}")
endfunction()

function(velmora_dll target description)
  set(def_file ${CMAKE_BINARY_DIR}/generated/${target}.def)
  velmora_module_definition(${def_file} ${target} ${VELMORA_DLL_EXPORT_LISTS})
  add_library(${target} SHARED $<TARGET_OBJECTS:velmora_core> ${ARGN} ${def_file})
  target_link_libraries(${target} PRIVATE velmora_core ${VELMORA_SYSTEM_LIBS})
  target_link_options(${target} PRIVATE ${VELMORA_STATIC_RUNTIME})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${target})
  velmora_version_resource(${target} ${target}.dll VFT_DLL "${description}")
endfunction()

set(VELMORA_DLL_EXPORT_LISTS ${CMAKE_SOURCE_DIR}/src/exports.def)
velmora_dll(${VELMORA_DLL_NAME} "Velmora sync library (${VELMORA_BITS}-bit)"
            ${CMAKE_SOURCE_DIR}/src/frame/faults_off_win32.cpp)

# The test DLL: the same code with the fault switch and the test hooks' exports.
set(VELMORA_DLL_EXPORT_LISTS ${CMAKE_SOURCE_DIR}/src/exports.def ${CMAKE_SOURCE_DIR}/src/testhooks.def)
velmora_dll(${VELMORA_DLL_NAME}Faults "Velmora sync library (${VELMORA_BITS}-bit), test build with fault injection"
            ${CMAKE_SOURCE_DIR}/src/frame/faults_on_win32.cpp ${VELMORA_TESTHOOK_SOURCES})

# The reference host.
file(GLOB_RECURSE VELMORA_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/*.cpp)
if(VELMORA_HOST_SOURCES)
  add_executable(velmora-sync ${VELMORA_HOST_SOURCES})
  target_include_directories(velmora-sync PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_definitions(velmora-sync PRIVATE ${VELMORA_WIN_DEFINITIONS})
  target_compile_options(velmora-sync PRIVATE ${VELMORA_WARNINGS} -municode)
  target_link_options(velmora-sync PRIVATE ${VELMORA_STATIC_RUNTIME} -municode)
  target_link_libraries(velmora-sync PRIVATE user32 advapi32 wininet version)
  velmora_version_resource(velmora-sync velmora-sync.exe VFT_APP "Velmora sync reference host (${VELMORA_BITS}-bit)")
endif()

# The plain C sample host that the package ships as source.
add_executable(minimal-host ${CMAKE_SOURCE_DIR}/examples/minimal-host.c)
target_include_directories(minimal-host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(minimal-host PRIVATE ${VELMORA_WARNINGS} -municode)
target_link_options(minimal-host PRIVATE ${VELMORA_STATIC_RUNTIME} -municode)
target_link_libraries(minimal-host PRIVATE kernel32 user32)

# Test programs of the e2e suite (the fake browser).
file(GLOB VELMORA_FAKE_BROWSER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/fake_browser/*.cpp)
if(VELMORA_FAKE_BROWSER_SOURCES)
  add_executable(fake-browser ${VELMORA_FAKE_BROWSER_SOURCES})
  target_compile_definitions(fake-browser PRIVATE ${VELMORA_WIN_DEFINITIONS})
  target_compile_options(fake-browser PRIVATE ${VELMORA_WARNINGS} -municode)
  target_link_options(fake-browser PRIVATE ${VELMORA_STATIC_RUNTIME} -municode)
  target_link_libraries(fake-browser PRIVATE wininet)
endif()

# The benchmark's plain WinINet program (scripts/bench).
file(GLOB VELMORA_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
if(VELMORA_BENCH_SOURCES)
  add_executable(bench-wininet ${VELMORA_BENCH_SOURCES})
  target_compile_definitions(bench-wininet PRIVATE ${VELMORA_WIN_DEFINITIONS})
  target_compile_options(bench-wininet PRIVATE ${VELMORA_WARNINGS} -municode)
  target_link_options(bench-wininet PRIVATE ${VELMORA_STATIC_RUNTIME} -municode)
  target_link_libraries(bench-wininet PRIVATE wininet)
endif()

# Static checks of the 32-bit DLL: the layouts compile only if they match.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_library(abi_layout OBJECT ${CMAKE_SOURCE_DIR}/tests/abi/layout32_check.cpp)
  target_include_directories(abi_layout PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_definitions(abi_layout PRIVATE ${VELMORA_WIN_DEFINITIONS})
  target_compile_options(abi_layout PRIVATE ${VELMORA_WARNINGS})
  add_custom_target(abi_layout_checked ALL DEPENDS abi_layout)
  add_test(NAME abi_dll COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
           ${CMAKE_SOURCE_DIR}/tests/abi/test_dll.py
           --dll $<TARGET_FILE:${VELMORA_DLL_NAME}> --objdump ${VELMORA_OBJDUMP}
           --def ${CMAKE_SOURCE_DIR}/src/exports.def)
endif()

include(${CMAKE_SOURCE_DIR}/cmake/package.cmake)
