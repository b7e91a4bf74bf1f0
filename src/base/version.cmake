# Works out the program's version at every build and writes it as a C++ header and as
# a one-line text file (which cpack reads for the package), each only when it changed,
# so nothing is rebuilt for a version that stayed. Run as:
#   cmake -DSOURCE_DIR=dir -DFALLBACK=0.2.0 -DHEADER=file.h -DTEXT=file.txt -P this
#
# In a git checkout with a version tag (v0.2.0 or 0.2.0), `git describe --tags --dirty`
# gives it, written in Debian's version syntax so that the program and the package say
# the same: v0.2.0 -> 0.2.0, v0.2.0-3-gabc1234 -> 0.2.0+3.gabc1234, and a checkout
# with changes adds "dirty" (0.2.0+dirty, 0.2.0+3.gabc1234.dirty). Without git, a
# checkout of its own (a source tarball inside someone else's repository) or a tag (a
# shallow clone), it is FALLBACK, the version of project() in CMakeLists.txt.
cmake_policy(VERSION 3.20)
set(version "${FALLBACK}")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE failed ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${SOURCE_DIR}" source)
  if(NOT failed)
    file(REAL_PATH "${top}" top)
  endif()
  if(NOT failed AND top STREQUAL source)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --dirty
                            --match "v[0-9]*" --match "[0-9]*"
                    OUTPUT_VARIABLE described RESULT_VARIABLE failed ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT failed AND described MATCHES "^v?([0-9][0-9A-Za-z.~]*)(-([0-9]+)-g([0-9a-f]+))?(-dirty)?$")
      # (An unmatched group leaves its CMAKE_MATCH_<n> undefined: read each quoted.)
      set(version "${CMAKE_MATCH_1}")
      set(commits "${CMAKE_MATCH_3}")
      set(commit "${CMAKE_MATCH_4}")
      set(dirty "${CMAKE_MATCH_5}")
      set(extra "")
      if(NOT commits STREQUAL "")
        set(extra "${commits}.g${commit}")
      endif()
      if(NOT dirty STREQUAL "")
        if(NOT extra STREQUAL "")
          string(APPEND extra ".")
        endif()
        string(APPEND extra "dirty")
      endif()
      if(NOT extra STREQUAL "")
        string(APPEND version "+${extra}")
      endif()
    elseif(NOT failed)
      message(WARNING "git describe said '${described}', which is no version; using ${FALLBACK}")
    endif()
  endif()
endif()

# Writes `content` to `path` unless it holds it already.
function(write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}.new" "${content}")
  file(RENAME "${path}.new" "${path}")
endfunction()

write_if_changed("${HEADER}" "// Generated at build time by src/base/version.cmake; do not edit.
#pragma once

#define PELTHOLLOW_VERSION \"${version}\"
")
write_if_changed("${TEXT}" "${version}\n")
