# halvicourt_private_cxx_runtime(<target>): the target links the parts of libstdc++ it uses,
# hidden, instead of loading libstdc++.so. The bundle carries its C++ runtime as it carries
# its frameworks, and does not load and relocate libstdc++.so at every start (docs/benchmarks.md,
# "Start-up tricks"). Each object then holds a private copy of what it uses; that is sound
# because nothing of the C++ runtime crosses a library's interface: no exception (every
# exported function is noexcept, which scripts/check-exports.sh checks), no iostream, no
# replaced operator new (docs/conventions.md).
# Sanitized builds keep the shared runtime, whose operator new the sanitizers replace.
function(halvicourt_private_cxx_runtime target)
  if(HALVICOURT_PRIVATE_CXX_RUNTIME AND NOT HALVICOURT_SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ LINKER:--exclude-libs,libstdc++.a)
    target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/system/TerminateHandler.cpp")
    set_source_files_properties("${PROJECT_SOURCE_DIR}/system/TerminateHandler.cpp"
                                PROPERTIES COMPILE_OPTIONS "-fvisibility=hidden")
  endif()
endfunction()

# halvicourt_objects(<name> SOURCES ...): one library's objects, compiled as its image
# compiles them (hidden visibility, our warnings). The image links them, and so do the tests,
# fuzzers and benchmarks of that library, which then reach what the image does not export.
function(halvicourt_objects name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_library(${name} OBJECT ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    # Only what carries the library's export mark (<library>/Export.hpp) is seen from
    # outside the image.
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/system" "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE halvicourt_warnings)
endfunction()

# halvicourt_framework(<name> OUTPUT <file base> OBJECTS <object libraries>...): one stand-in
# system library made of those objects, built into the app bundle's Frameworks folder and
# finding its siblings through $ORIGIN.
function(halvicourt_framework name)
  cmake_parse_arguments(ARG "" "OUTPUT;EXPORTS" "OBJECTS" ${ARGN})
  if(NOT ARG_EXPORTS)
    set(ARG_EXPORTS "${PROJECT_SOURCE_DIR}/cmake/Framework.map")
  endif()
  add_library(${name} SHARED)
  target_link_options(${name} PRIVATE "LINKER:--version-script=${ARG_EXPORTS}")
  set_target_properties(${name} PROPERTIES LINK_DEPENDS "${ARG_EXPORTS}")
  target_link_libraries(${name} PRIVATE ${ARG_OBJECTS})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME "${ARG_OUTPUT}"
    LIBRARY_OUTPUT_DIRECTORY "${HALVICOURT_FRAMEWORKS_DIR}"
    BUILD_WITH_INSTALL_RPATH TRUE
    INSTALL_RPATH "$ORIGIN")
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/system" "${PROJECT_SOURCE_DIR}")
  # Symbols bound at load, and the GOT read-only from then on (docs/benchmarks.md, "Page
  # faults and the cold start").
  target_link_options(${name} PRIVATE LINKER:--enable-new-dtags LINKER:--as-needed LINKER:-z,now)
  halvicourt_private_cxx_runtime(${name})
  # Sanitized libraries leave the sanitizer runtime to the executable that loads them.
  if(NOT HALVICOURT_SANITIZE)
    target_link_options(${name} PRIVATE LINKER:--no-undefined)
  endif()
  # As the executable (platform/CMakeLists.txt): shipped without debug sections, which the
  # signature check would hash on every start; gdb finds them in Frameworks/.debug/.
  if(NOT HALVICOURT_SANITIZE AND CMAKE_OBJCOPY)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${HALVICOURT_FRAMEWORKS_DIR}/.debug"
      COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "$<TARGET_FILE:${name}>"
              "${HALVICOURT_FRAMEWORKS_DIR}/.debug/$<TARGET_FILE_NAME:${name}>.debug"
      COMMAND "${CMAKE_OBJCOPY}" --strip-all
              "--add-gnu-debuglink=${HALVICOURT_FRAMEWORKS_DIR}/.debug/$<TARGET_FILE_NAME:${name}>.debug"
              "$<TARGET_FILE:${name}>"
      VERBATIM)
  endif()
endfunction()
