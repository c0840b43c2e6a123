# halvicourt_private_cxx_runtime(<target>): the target links the parts of libstdc++ it uses,
# hidden, instead of loading libstdc++.so. The bundle carries its C++ runtime as it carries
# its frameworks. Loading libstdc++.so and binding its 4,300 symbol relocations was about a
# millisecond of every cold start (docs/benchmarks.md). Each object then holds a private copy
# of what it uses; that is sound because nothing of the C++ runtime crosses a library's
# interface: no exception, no iostream, no replaced operator new (docs/conventions.md).
# Sanitized builds keep the shared runtime, whose operator new the sanitizers replace.
function(halvicourt_private_cxx_runtime target)
  if(NOT HALVICOURT_SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ LINKER:--exclude-libs,libstdc++.a)
    target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/system/TerminateHandler.cpp")
  endif()
endfunction()

# halvicourt_framework(<name> OUTPUT <file base> SOURCES ...): one stand-in system library,
# built into the app bundle's Frameworks folder and finding its siblings through $ORIGIN.
function(halvicourt_framework name)
  cmake_parse_arguments(ARG "" "OUTPUT" "SOURCES" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME "${ARG_OUTPUT}"
    LIBRARY_OUTPUT_DIRECTORY "${HALVICOURT_FRAMEWORKS_DIR}"
    BUILD_WITH_INSTALL_RPATH TRUE
    INSTALL_RPATH "$ORIGIN"
    # Only what carries the library's export mark (<library>/Export.hpp) is seen from
    # outside: everything else binds inside the library and costs the loader nothing.
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/system" "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE halvicourt_warnings)
  # Symbols bound at load (full RELRO: the GOT is read-only from then on). Bound lazily, each
  # first call through the PLT went through the loader's resolver, which saves and restores
  # the vector registers: about 0.9 ms of a cold start, more than binding them all at once.
  target_link_options(${name} PRIVATE LINKER:--enable-new-dtags LINKER:--as-needed LINKER:-z,now)
  halvicourt_private_cxx_runtime(${name})
  # Sanitized libraries leave the sanitizer runtime to the executable that loads them.
  if(NOT HALVICOURT_SANITIZE)
    target_link_options(${name} PRIVATE LINKER:--no-undefined)
  endif()
endfunction()
