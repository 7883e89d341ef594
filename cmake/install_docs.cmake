# Install-time part of the package (install(SCRIPT) in cmake/package.cmake):
# the host guide when the tree has one, and the package README, which lists
# the guide only then. Expects the VELMORA_* variables set just before it.
set(VELMORA_GUIDE_ROW "")
if(EXISTS "${VELMORA_HOST_GUIDE}")
  file(INSTALL "${VELMORA_HOST_GUIDE}" DESTINATION "${CMAKE_INSTALL_PREFIX}/docs" RENAME host-guide.md)
  set(VELMORA_GUIDE_ROW "| `docs/host-guide.md` | the host guide: each operation's messages, every export's return \
values and codes, the worker's life, linking step by step |\n")
endif()
configure_file(${VELMORA_README_TEMPLATE} ${VELMORA_README_OUT} @ONLY)
file(INSTALL ${VELMORA_README_OUT} DESTINATION "${CMAKE_INSTALL_PREFIX}")
