# Read by cpack as it starts a package (CPACK_PROJECT_CONFIG_FILE): the package takes
# the version of the build it packs, the one `pelthollow --version` prints, which the
# build wrote to version.txt (src/base/version.cmake). Before a build there is none,
# and the package keeps the version of project().
if(EXISTS "${CPACK_PELTHOLLOW_VERSION_FILE}")
  file(STRINGS "${CPACK_PELTHOLLOW_VERSION_FILE}" CPACK_PACKAGE_VERSION LIMIT_COUNT 1)
endif()
