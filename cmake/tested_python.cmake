# zok_check_tested_python(VERSION NEWEST): a warning when VERSION (major.minor)
# is newer than NEWEST, the newest CPython the module is tested on.
# Also runs alone, for a quick check of the message:
#   cmake -DVERSION=3.16 -DNEWEST=3.15 -P cmake/tested_python.cmake
function(zok_check_tested_python version newest)
  if(version VERSION_GREATER newest)
    message(WARNING
      "ZOK is built for CPython ${version}, newer than ${newest}, the newest "
      "it is tested on. The module reaches into interpreter internals that "
      "change between releases: it may not build or work correctly. Run the "
      "test suite on this interpreter before relying on it.")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED VERSION AND DEFINED NEWEST)
  zok_check_tested_python(${VERSION} ${NEWEST})
endif()
