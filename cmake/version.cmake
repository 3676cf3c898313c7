# Writes OUT, the programs' version, when it differs from what OUT holds:
# `git describe --tags --always --dirty` in SOURCE_DIR (a leading "v" of the
# tag dropped), the project's VERSION followed by the commit when no tag is
# reachable, the project's VERSION alone outside a git checkout.
# Run at build time, so that a commit or a change to a tracked file shows
# without a new configure; an unchanged version rewrites nothing.
set(version "${PROJECT_VERSION}")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --tags --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE described RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND described)
    if(described MATCHES "^[0-9a-f]+(-dirty)?$")
      # --always gave the commit alone: no tag.
      set(version "${PROJECT_VERSION}-g${described}")
    else()
      string(REGEX REPLACE "^v" "" version "${described}")
    endif()
  endif()
endif()
set(text "// Written by cmake/version.cmake.\n#include \"zelmora_version.h\"\n\nconst char* zelmora::version() { return \"${version}\"; }\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
