# find_package(ostrel) gives the imported target ostrel::ostrel (libostrel and its headers).
include(${CMAKE_CURRENT_LIST_DIR}/ostrelTargets.cmake)
