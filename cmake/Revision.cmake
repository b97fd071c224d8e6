# The build line of every mission names the source revision and the time the
# libraries were built. Run by the build (cmake -P), never at configure time,
# in one of two steps:
#
#   -DSTEP=revision -DSOURCE_DIR=<tree> -DGIT=<git> -DOUTPUT=<revision.txt>
#       on every build: the checkout's revision, ten hexadecimal digits (ten
#       zeros outside a git checkout of this tree). The file is rewritten
#       only when the revision moved, so an unchanged tree rebuilds nothing.
#   -DSTEP=source -DREVISION_FILE=<revision.txt> -DTEMPLATE=<in> -DOUTPUT=<cpp>
#       when the revision moved or a library object was rebuilt: the source
#       with that revision and the time now (SOURCE_DATE_EPOCH, when set,
#       fixes it for reproducible packages).
cmake_minimum_required(VERSION 3.18)

if(STEP STREQUAL "revision")
  set(revision "0000000000")
  if(GIT AND EXISTS "${GIT}")
    # Only this tree's own history: a source tarball unpacked inside some
    # other checkout must not take that checkout's revision.
    execute_process(COMMAND "${GIT}" rev-parse --show-toplevel --short=10 HEAD
                    WORKING_DIRECTORY "${SOURCE_DIR}"
                    OUTPUT_VARIABLE out OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc ERROR_QUIET)
    string(REPLACE "\n" ";" out "${out}")
    list(LENGTH out n)
    if(rc EQUAL 0 AND n EQUAL 2)
      list(GET out 0 top)
      list(GET out 1 rev)
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${SOURCE_DIR}" here)
      if(top STREQUAL here AND rev MATCHES "^[0-9a-f]+$")
        string(SUBSTRING "${rev}0000000000" 0 10 revision)
      endif()
    endif()
  endif()
  set(old "")
  if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
  endif()
  if(NOT old STREQUAL revision)
    file(WRITE "${OUTPUT}" "${revision}")
  endif()
elseif(STEP STREQUAL "source")
  file(READ "${REVISION_FILE}" KELVEX_REVISION)
  string(TIMESTAMP KELVEX_BUILD_TIME "%Y-%m-%d %H:%M:%S")
  # Always written: the build rule that runs this step expects a newer file.
  file(READ "${TEMPLATE}" text)
  string(CONFIGURE "${text}" text @ONLY)
  file(WRITE "${OUTPUT}" "${text}")
else()
  message(FATAL_ERROR "Revision.cmake: STEP must be revision or source")
endif()
