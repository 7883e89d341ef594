# Run by cpack once the zip is made (CPACK_POST_BUILD_SCRIPTS): the debug files
# of the stripped binaries go into the package directory beside it, not into it.
file(COPY ${CPACK_VELMORA_DEBUG_FILES} DESTINATION ${CPACK_PACKAGE_DIRECTORY})
