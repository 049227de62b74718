# The Windows program, cross-compiled with mingw-w64 (scripts/build-windows; docs/windows.md).
#
# Built from the same sources as the Linux program, with platform/windows/ in place of
# the Linux side of platform/, the Win32 window and the loopback automation server of
# corert/windows/, and support/windows/ for the two support commands that reach the
# network and the desktop. The program image is not built here: the one the Linux build
# linked (NIMBRA_LINUX_BUILD/nimbra.qx) is embedded as it is, so that both executables
# run the same bytes. The GBK tables of our own converter come from there too.
#
# The program directory, build-windows/program/:
#   nimbra.exe      the launcher with the image, its icon and version resource
#   corert.slr      the kernel runtime (a DLL, under the name the launcher looks for)
#   WebPane.sle xtool.sle netlib.sle sysapi.sle   the support libraries (DLLs)
#   config.ini      the settings file, as the Linux build wrote it
# Everything is linked statically against the compiler's libraries: the directory needs
# nothing but the system's own DLLs.

if(NOT NIMBRA_LINUX_BUILD)
  message(FATAL_ERROR "NIMBRA_LINUX_BUILD must name the Linux build directory that holds nimbra.qx")
endif()
foreach(needed nimbra.qx gbk_tables.inc program/config.ini nimbra.ico)
  if(NOT EXISTS ${NIMBRA_LINUX_BUILD}/${needed})
    message(FATAL_ERROR "${NIMBRA_LINUX_BUILD}/${needed} is missing: build the Linux program first (scripts/build-windows does)")
  endif()
endforeach()
set(NIMBRA_PROGRAM_IMAGE_FILE ${NIMBRA_LINUX_BUILD}/nimbra.qx)

# The C library's printf family as the C standard has it (%zu and the like), which the
# runtime's messages use.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
set(nimbra_static_link -static -static-libgcc -static-libstdc++)

# ---- platform ----
add_library(nimbra_gbk STATIC platform/windows/gbk_codec.cpp)
target_include_directories(nimbra_gbk PRIVATE ${NIMBRA_LINUX_BUILD})
nimbra_warnings(nimbra_gbk)

add_library(nimbra_platform STATIC
  platform/png_file.cpp
  platform/windows/desktop.cpp
  platform/windows/file_system.cpp
  platform/windows/memory_pages.cpp
  platform/windows/program_directory.cpp
  platform/windows/shared_library.cpp
  platform/windows/wide_text.cpp)
target_link_libraries(nimbra_platform PUBLIC nimbra_gbk)
nimbra_warnings(nimbra_platform)

add_library(nimbra_system_wininet STATIC platform/windows/system_wininet.cpp)
target_link_libraries(nimbra_system_wininet PUBLIC nimbra_platform wininet)
nimbra_warnings(nimbra_system_wininet)

# ---- image: reading it and running it (the linker stays on Linux) ----
add_library(qximage STATIC
  image/byte_io.cpp image/image_layout.cpp image/window_definition.cpp image/code_linkage.cpp image/gbk_text.cpp)
target_link_libraries(qximage PUBLIC nimbra_gbk)
nimbra_warnings(qximage)
add_library(qxlink STATIC image/service_slots.cpp image/mapped_image.cpp image/dll_call.cpp)
target_link_libraries(qxlink PUBLIC qximage nimbra_platform)
nimbra_warnings(qxlink)

# ---- the kernel runtime ----
add_library(corert_parts STATIC
  corert/command_args.cpp
  corert/diagnostics.cpp
  corert/file_commands.cpp
  corert/gbk.cpp
  corert/kernel_commands.cpp
  corert/memory.cpp
  corert/run_time_error.cpp
  corert/text_commands.cpp
  corert/whole_file.cpp
  corert/window_commands.cpp
  corert/window/browser_pages.cpp
  corert/window/event_queue.cpp
  corert/window/headless_window.cpp
  corert/window/message_boxes.cpp
  corert/window/opened_pages.cpp
  corert/window/window_automation.cpp
  corert/window/window_backend.cpp
  corert/window/window_core.cpp
  corert/window/window_services.cpp
  corert/window/window_state.cpp
  corert/automation/automation_protocol.cpp
  corert/automation/wire_text.cpp
  corert/windows/automation_server.cpp
  corert/windows/win32_window.cpp
  corert/windows/win32_message_boxes.cpp
  corert/windows/win32_screenshot.cpp
  corert/dll_table.cpp
  corert/image_calls.cpp
  corert/library_calls.cpp
  corert/program_end.cpp
  corert/program_loader.cpp
  corert/support_libraries.cpp)
target_link_libraries(corert_parts PUBLIC qxlink nimbra_platform nimbra_system_wininet
  ws2_32 bcrypt comctl32 gdi32 ole32 oleaut32 uuid)
nimbra_warnings(corert_parts)

# corert.slr exports GetNewSock and nothing else (corert/windows/corert.def).
add_library(corert_runtime SHARED corert/runtime_main.cpp corert/windows/corert.def)
set_target_properties(corert_runtime PROPERTIES OUTPUT_NAME corert PREFIX "" SUFFIX ".slr"
  RUNTIME_OUTPUT_DIRECTORY ${NIMBRA_PROGRAM_DIR})
target_link_libraries(corert_runtime PRIVATE corert_parts)
target_link_options(corert_runtime PRIVATE ${nimbra_static_link})
nimbra_warnings(corert_runtime)

# ---- the support libraries ----
function(nimbra_windows_support_library name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sle" RUNTIME_OUTPUT_DIRECTORY ${NIMBRA_PROGRAM_DIR})
  target_link_options(${name} PRIVATE ${nimbra_static_link})
  nimbra_warnings(${name})
endfunction()
nimbra_windows_support_library(xtool support/xtool.cpp)
nimbra_windows_support_library(sysapi support/sysapi.cpp support/windows/sysapi_open.cpp)
target_link_libraries(sysapi PRIVATE nimbra_platform shell32)
nimbra_windows_support_library(netlib support/netlib.cpp support/windows/netlib_fetch.cpp)
target_link_libraries(netlib PRIVATE nimbra_platform wininet)
nimbra_windows_support_library(WebPane support/windows/webpane.cpp)
target_link_libraries(WebPane PRIVATE nimbra_platform ole32 oleaut32 uuid)

# ---- the executable ----
configure_file(${CMAKE_SOURCE_DIR}/launcher/windows/program_image.S.in ${CMAKE_BINARY_DIR}/program_image.S @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/program_image.S PROPERTIES OBJECT_DEPENDS ${NIMBRA_PROGRAM_IMAGE_FILE})
set(NIMBRA_ICON_FILE ${NIMBRA_LINUX_BUILD}/nimbra.ico)
configure_file(${CMAKE_SOURCE_DIR}/launcher/windows/nimbra.rc.in ${CMAKE_BINARY_DIR}/nimbra.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/nimbra.rc PROPERTIES OBJECT_DEPENDS ${NIMBRA_ICON_FILE})
add_executable(nimbra WIN32
  launcher/windows/launcher.cpp launcher/error_box.cpp
  ${CMAKE_BINARY_DIR}/program_image.S ${CMAKE_BINARY_DIR}/nimbra.rc)
set_target_properties(nimbra PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${NIMBRA_PROGRAM_DIR})
target_link_libraries(nimbra PRIVATE nimbra_platform)
target_link_options(nimbra PRIVATE ${nimbra_static_link})
nimbra_warnings(nimbra)

configure_file(${NIMBRA_LINUX_BUILD}/program/config.ini ${NIMBRA_PROGRAM_DIR}/config.ini COPYONLY)

# ---- the Windows unit tests, run under Wine by scripts/test ----
if(NIMBRA_BUILD_TESTS)
  include(${CMAKE_SOURCE_DIR}/tests/windows/windows_tests.cmake)
endif()
