# The package for host developers: stripped binaries whose debug information
# stays in files of its own, import libraries for mingw and MSVC-compatible
# linkers, the install rules (cmake --install) and the zip (cpack).
find_program(VELMORA_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)

set(VELMORA_STRIPPED_DIR ${CMAKE_BINARY_DIR}/stripped)
set(VELMORA_PACKAGE_NAME velmora-sync-${PROJECT_VERSION}-win${VELMORA_BITS})

# Writes stripped/<file_name>, target's file without symbols and debug
# sections, and stripped/<debug_name>, the debug information alone; the
# stripped file names the debug file (and its checksum) in .gnu_debuglink, so
# a debugger that finds the debug file beside it uses it for crash analysis.
# Part of every build, so that the install rules only copy.
function(velmora_strip target file_name debug_name)
  set(stripped ${VELMORA_STRIPPED_DIR}/${file_name})
  set(debug ${VELMORA_STRIPPED_DIR}/${debug_name})
  add_custom_command(
    OUTPUT ${stripped} ${debug}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELMORA_STRIPPED_DIR}
    COMMAND ${VELMORA_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${VELMORA_OBJCOPY} --strip-all --add-gnu-debuglink=${debug} $<TARGET_FILE:${target}> ${stripped}
    DEPENDS ${target}
    COMMENT "Stripping ${file_name} (debug information in ${debug_name})"
    VERBATIM)
  add_custom_target(${target}_stripped ALL DEPENDS ${stripped} ${debug})
endfunction()

# The host's debug file carries the bitness in its name: both land beside the two zips.
velmora_strip(${VELMORA_DLL_NAME} ${VELMORA_DLL_NAME}.dll ${VELMORA_DLL_NAME}.dll.debug)
velmora_strip(velmora-sync velmora-sync.exe velmora-sync-win${VELMORA_BITS}.exe.debug)
set(VELMORA_DEBUG_FILES ${VELMORA_STRIPPED_DIR}/${VELMORA_DLL_NAME}.dll.debug
                        ${VELMORA_STRIPPED_DIR}/velmora-sync-win${VELMORA_BITS}.exe.debug)

# The import library for MSVC-compatible linkers, made from the module
# definition: for 32-bit hosts it maps the cdecl symbols (_SetInfo) to the
# undecorated names the DLL exports.
set(VELMORA_DEF_FILE ${CMAKE_BINARY_DIR}/generated/${VELMORA_DLL_NAME}.def)
set(VELMORA_MSVC_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/${VELMORA_DLL_NAME}.lib)
add_custom_command(
  OUTPUT ${VELMORA_MSVC_IMPORT_LIBRARY}
  COMMAND ${VELMORA_LLVM_DLLTOOL} -m ${VELMORA_DLLTOOL_MACHINE} -d ${VELMORA_DEF_FILE} -l ${VELMORA_MSVC_IMPORT_LIBRARY}
  DEPENDS ${VELMORA_DEF_FILE}
  COMMENT "MSVC import library ${VELMORA_DLL_NAME}.lib"
  VERBATIM)
add_custom_target(msvc_import_library ALL DEPENDS ${VELMORA_MSVC_IMPORT_LIBRARY})

# ---- What the package holds (cmake --install --prefix DIR shows it unzipped) ----
install(FILES ${VELMORA_STRIPPED_DIR}/${VELMORA_DLL_NAME}.dll ${VELMORA_STRIPPED_DIR}/velmora-sync.exe DESTINATION bin)
install(FILES ${VELMORA_HEADER} DESTINATION include)
install(FILES ${VELMORA_DEF_FILE} $<TARGET_LINKER_FILE:${VELMORA_DLL_NAME}> ${VELMORA_MSVC_IMPORT_LIBRARY}
        DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/examples/minimal-host.c DESTINATION examples)
install(FILES ${CMAKE_SOURCE_DIR}/CHANGELOG.md DESTINATION .)
# The host guide and the README that lists it are taken at install time, so a
# guide added after configuring is packaged, and a tree without one gives a
# package whose README does not mention it.
# (cmake -DVELMORA_HOST_GUIDE=FILE -P cmake_install.cmake takes another file, for tests.)
install(CODE "if(NOT DEFINED VELMORA_HOST_GUIDE)
  set(VELMORA_HOST_GUIDE \"${CMAKE_SOURCE_DIR}/docs/host-guide.md\")
endif()
set(VELMORA_README_TEMPLATE \"${CMAKE_SOURCE_DIR}/cmake/package-readme.md.in\")
set(VELMORA_README_OUT \"${CMAKE_BINARY_DIR}/package/README.md\")
set(VELMORA_VERSION \"${PROJECT_VERSION}\")
set(VELMORA_BITS \"${VELMORA_BITS}\")
set(VELMORA_DLL_NAME \"${VELMORA_DLL_NAME}\")
set(VELMORA_MINGW_TRIPLET \"${VELMORA_MINGW_TRIPLET}\")")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/install_docs.cmake)

# ---- The zip: cpack --preset win32|win64 (scripts/package makes both) ----
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME velmora-sync)
set(CPACK_PACKAGE_VENDOR ${VELMORA_COMPANY})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${VELMORA_PACKAGE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Read by cmake/package_debug_files.cmake, which puts them beside the zip.
set(CPACK_VELMORA_DEBUG_FILES ${VELMORA_DEBUG_FILES})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package_debug_files.cmake)
include(CPack)
