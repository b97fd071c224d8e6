# The build line of every mission names the source revision and the build time.
# Outside a git checkout the revision reads as ten zeros.
find_package(Git QUIET)
set(KELVEX_REVISION "0000000000")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=10 HEAD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _rev OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _rc ERROR_QUIET)
  if(_rc EQUAL 0 AND _rev MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${_rev}0000000000" 0 10 KELVEX_REVISION)
  endif()
endif()
string(TIMESTAMP KELVEX_BUILD_TIME "%Y-%m-%d %H:%M:%S")
