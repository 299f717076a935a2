# Flags for the launcher's own code: no exceptions, no RTTI, small code. For
# Windows, where it becomes the stub, no path of the source or build folder
# enters the objects (__FILE__, debug records), so that any checkout builds
# the same bytes; GCC tries the later, longer prefix first.
function(qelvor_launcher_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)
  if(WIN32)
    target_compile_options(${target} PRIVATE -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                           -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
  endif()
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# A GoogleTest program. NATIVE_ONLY tests need the POSIX stand-in's test
# controls and are not built for Windows. Under the cross build the
# emulator (Wine) runs the program.
function(qelvor_test name)
  cmake_parse_arguments(T "NATIVE_ONLY" "" "SOURCES;LIBS" ${ARGN})
  if(T_NATIVE_ONLY AND WIN32)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "QELVOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
