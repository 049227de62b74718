# The Windows unit tests: GoogleTest from Debian's source package, cross-compiled with the
# program and run under Wine by tests/windows/run_wine_tests.sh (scripts/test-windows).
set(NIMBRA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest package)")
if(NOT EXISTS ${NIMBRA_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "${NIMBRA_GOOGLETEST_SOURCE} holds no GoogleTest sources (apt-get install googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${NIMBRA_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(windows_platform_test
  tests/windows/gbk_codec_test.cpp
  tests/windows/platform_test.cpp
  tests/windows/service_call_test.cpp
  tests/windows/sysv_service.cpp
  tests/windows/system_wininet_test.cpp)
target_link_libraries(windows_platform_test PRIVATE qxlink nimbra_platform nimbra_system_wininet gtest gtest_main)
target_link_options(windows_platform_test PRIVATE ${nimbra_static_link})
set_target_properties(windows_platform_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
nimbra_warnings(windows_platform_test)
