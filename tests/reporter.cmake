# The fault reporter's tests: the loader, the guard, the unwinder and the
# call chain. Included by tests/CMakeLists.txt for the native build and for a
# cross build for another Linux, which runs them under the emulator.

# The fault reporter: reports over synthetic records, loading crafted files,
# and frames in a shared library of its own that the tests open with its map.
add_library(korval_shapes SHARED shapes.cpp)
add_executable(mapdebug_test mapdebug_test.cpp)
target_link_libraries(mapdebug_test PRIVATE mapdebug tool_runner GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(mapdebug_test PRIVATE SHAPES_SO="$<TARGET_FILE:korval_shapes>")
add_dependencies(mapdebug_test korval_shapes)
korval_discover_tests(mapdebug_test "Objects.*")

# Real faults in the guard, named from this executable's own code map.
add_executable(guard_test guard_test.cpp)
target_link_libraries(guard_test PRIVATE mapdebug tool_runner GTest::gtest_main)
korval_fixed_addresses(guard_test)
korval_code_map(guard_test)
korval_discover_tests(guard_test "*")

# The reader of unwind tables over hand-assembled bytes.
add_executable(unwind_test unwind_test.cpp)
target_include_directories(unwind_test PRIVATE ${PROJECT_SOURCE_DIR}/src/mapdebug/unix)
target_link_libraries(unwind_test PRIVATE mapdebug GTest::gtest_main)
korval_discover_tests(unwind_test)

# The call chain of real faults (inside the C library, in a library loaded
# late, chain_plugin, and in other shapes) under a signal handler of the
# test's own.
add_library(chain_plugin MODULE chain_plugin.cpp)
add_executable(callchain_test callchain_test.cpp)
target_link_libraries(callchain_test PRIVATE mapdebug GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(callchain_test PRIVATE CHAIN_PLUGIN="$<TARGET_FILE:chain_plugin>")
add_dependencies(callchain_test chain_plugin)
korval_discover_tests(callchain_test "*")

# The call chain of a program linked -static (not under the sanitizers,
# whose runtimes are not linked statically): without .eh_frame_hdr, as
# Debian links it, and with one; each also unable to open a file from its
# first guard on.
if(NOT KORVAL_SANITIZE)
  foreach(variant static static_hdr)
    add_executable(${variant}_chain static_chain.cpp)
    target_link_libraries(${variant}_chain PRIVATE mapdebug)
    target_link_options(${variant}_chain PRIVATE -static)
    add_test(NAME ${variant}_chain_test COMMAND ${variant}_chain)
    add_test(NAME ${variant}_chain_no_files_test COMMAND ${variant}_chain no-files)
  endforeach()
  target_link_options(static_hdr_chain PRIVATE LINKER:--eh-frame-hdr)
endif()

