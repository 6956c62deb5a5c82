# The version a build and its package carry: the project's, with the commit
# count and hash, so that every build of a later commit upgrades the last;
# ".dirty" when the sources differ from the commit. Run as a script at every
# build (and by scripts/package through the build):
#   cmake -DBASE=<x.y.z> -DSOURCE_DIR=<checkout> -DOUT_DIR=<folder> -P Version.cmake
# writes OUT_DIR/version.txt and OUT_DIR/LumoraVersion.h, touched only when
# the version changes.
set(version "${BASE}")
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-list --count HEAD
                  OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE count_rc ERROR_QUIET)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=8 HEAD
                  OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE hash_rc ERROR_QUIET)
  if(count_rc EQUAL 0 AND hash_rc EQUAL 0)
    set(version "${BASE}+git${count}.${hash}")
    # Uncommitted changes make a program that no commit can give again.
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} diff --quiet HEAD -- src cmake packaging CMakeLists.txt assets
                    RESULT_VARIABLE dirty ERROR_QUIET)
    if(NOT dirty EQUAL 0)
      string(APPEND version ".dirty")
    endif()
  endif()
endif()

file(WRITE ${OUT_DIR}/version.txt.new "${version}\n")
file(COPY_FILE ${OUT_DIR}/version.txt.new ${OUT_DIR}/version.txt ONLY_IF_DIFFERENT)
file(WRITE ${OUT_DIR}/LumoraVersion.h.new
     "#pragma once\n// Written by cmake/Version.cmake.\n#define LUMORA_PACKAGE_VERSION \"${version}\"\n")
file(COPY_FILE ${OUT_DIR}/LumoraVersion.h.new ${OUT_DIR}/LumoraVersion.h ONLY_IF_DIFFERENT)
file(REMOVE ${OUT_DIR}/version.txt.new ${OUT_DIR}/LumoraVersion.h.new)
