# libostrel: every subsystem's objects in one shared library with a versioned SONAME, its C
# headers (generated from the core headers), the C++ layer, a pkg-config file and a CMake
# package. Subsystems declared with ox_subsystem() join it without further edits.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_property(ox_subsystems GLOBAL PROPERTY OX_SUBSYSTEMS)
set(ox_objects "")
foreach(sub IN LISTS ox_subsystems)
  list(APPEND ox_objects $<TARGET_OBJECTS:ox_${sub}>)
endforeach()

add_library(ostrel SHARED ${ox_objects})
set_target_properties(ostrel PROPERTIES LINKER_LANGUAGE CXX VERSION ${PROJECT_VERSION}
                      SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
target_link_libraries(ostrel PRIVATE PkgConfig::FFTW m)
if(FFTW3_THREADS_LIB AND FFTW3F_THREADS_LIB)
  target_link_libraries(ostrel PRIVATE ${FFTW3F_THREADS_LIB} ${FFTW3_THREADS_LIB} pthread)
endif()
# Exports: the core ABI (unmangled, default visibility) only; the version script also hides the
# C++ runtime's template instances. -z defs: every reference resolves at link time (no Python).
set(ox_map ${CMAKE_CURRENT_SOURCE_DIR}/cmake/ostrel.map)
target_link_options(ostrel PRIVATE -Wl,--version-script=${ox_map} -Wl,-z,defs -Wl,-Bsymbolic)
set_property(TARGET ostrel APPEND PROPERTY LINK_DEPENDS ${ox_map})

# Public C headers: one per subsystem directory, generated from its core headers.
set(ox_gen ${CMAKE_CURRENT_BINARY_DIR}/include)
set(ox_public_headers "")
set(ox_umbrella_includes "")
file(GLOB ox_dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/native/*)
foreach(dir IN LISTS ox_dirs)
  get_filename_component(part ${dir} NAME)
  if(NOT IS_DIRECTORY ${dir} OR part STREQUAL "common")
    continue()
  endif()
  string(REGEX REPLACE "^ox_tlm$" "telemetry" part ${part})
  string(TOUPPER ${part} guard)
  file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
  set(out ${ox_gen}/ostrel/${part}.h)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DOUT=${out} -DGUARD=OSTREL_${guard}_H "-DTITLE=the ${part} functions"
            "-DHEADERS=${headers}" -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/ostrel_public_header.cmake
    DEPENDS ${headers} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/ostrel_public_header.cmake
    COMMENT "Generating ostrel/${part}.h" VERBATIM)
  list(APPEND ox_public_headers ${out})
  string(APPEND ox_umbrella_includes "#include \"ostrel/${part}.h\"\n")
endforeach()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/ostrel.h.in ${ox_gen}/ostrel/ostrel.h @ONLY)
target_sources(ostrel PRIVATE ${ox_public_headers})
# The library compiles no source of its own (its objects come from the subsystems), so nothing
# would ask for the generated headers: a target of the default build does.
add_custom_target(ostrel_public_headers ALL DEPENDS ${ox_public_headers})
add_dependencies(ostrel ostrel_public_headers)
target_include_directories(ostrel INTERFACE $<BUILD_INTERFACE:${ox_gen}>
                           $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
                           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
add_library(ostrel::ostrel ALIAS ostrel)

install(TARGETS ostrel EXPORT ostrelTargets COMPONENT library
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${ox_public_headers} ${ox_gen}/ostrel/ostrel.h include/ostrel/types.h
              include/ostrel/ostrel.hpp include/ostrel/traits.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrel COMPONENT library)
# Relocatable: the prefix is found from the .pc file's own place.
file(RELATIVE_PATH ox_pc_up /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" ox_pc_up "${ox_pc_up}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/ostrel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ostrel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrel.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)
set(ox_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ostrel)
install(EXPORT ostrelTargets NAMESPACE ostrel:: DESTINATION ${ox_cmake_dir} COMPONENT library)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ostrelConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES cmake/ostrelConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/ostrelConfigVersion.cmake
        DESTINATION ${ox_cmake_dir} COMPONENT library)

# Test artefact: libostrel again with the vector-kernel sources compiled on their scalar path
# (every other object is shared with libostrel), so a test can run both paths side by side and
# compare the bits.
option(OSTREL_SCALAR_CHECK "Build ostrel_scalar_check (scalar-path kernels, for the tests)" OFF)
if(OSTREL_SCALAR_CHECK)
  get_property(ox_simd_sources GLOBAL PROPERTY OX_SIMD_SOURCES)
  set(ox_simd_names "")
  foreach(src IN LISTS ox_simd_sources)
    get_filename_component(base ${src} NAME)
    list(APPEND ox_simd_names ${base})
  endforeach()
  list(JOIN ox_simd_names "|" ox_simd_regex)
  string(REPLACE "." "\\." ox_simd_regex "${ox_simd_regex}")
  add_library(ostrel_scalar_check SHARED
              "$<FILTER:${ox_objects},EXCLUDE,/(${ox_simd_regex})\\.o$>" ${ox_simd_sources})
  target_compile_definitions(ostrel_scalar_check PRIVATE OX_SIMD_SCALAR=1)
  target_include_directories(ostrel_scalar_check PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/native)
  target_link_libraries(ostrel_scalar_check PRIVATE PkgConfig::FFTW m)
  if(FFTW3_THREADS_LIB AND FFTW3F_THREADS_LIB)
    target_link_libraries(ostrel_scalar_check PRIVATE ${FFTW3F_THREADS_LIB} ${FFTW3_THREADS_LIB} pthread)
  endif()
  target_link_options(ostrel_scalar_check PRIVATE -Wl,--version-script=${ox_map} -Wl,-Bsymbolic)
endif()
