# Release artefacts: "cmake --build --preset release --target package" makes
# the players' zip (any Windows tree makes one), the Linux preset a tarball.
# Only the programs a player or an operator needs go in, beside a short
# read-me; the operator's tool vlm-patch comes with both.
if(VLM_WINDOWS)
  install(TARGETS launcher vlm_keupdate vlm-patch RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/README-windows.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-i686)
else()
  install(TARGETS launcher vlm_keupdate vlm-rar-reader vlm-patch RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/README-linux.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
# A tree built with test hooks lets the environment redirect the elevated
# launcher: its artefacts say so in their name, so that one is never taken
# for the players' (those come from a release build, see the README).
if(VLM_TEST_HOOKS)
  string(APPEND CPACK_SYSTEM_NAME "-test-hooks")
endif()
# Symbols help nobody who runs these programs, and the players' download is
# the smaller for it.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME vellmarch-launcher)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
