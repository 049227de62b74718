# The program's routines (compiled twice, see runtime/CMakeLists.txt), the image built
# from them, and the object that embeds the image in the `nimbra` executable:
#   extern "C" uint8_t nimbra_program_image[];          (writable data)
#   extern "C" const uint64_t nimbra_program_image_size;
nimbra_routines(program_routines SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/entry.cpp
)
# The event handlers: version notice, city selection, page builders.
nimbra_routines(viewer_handlers
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/version_notice.cpp
    ${CMAKE_CURRENT_LIST_DIR}/city_selection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page_builder.cpp
  HOST_LIBS program_routines_host text_routines_host web_routines_host
)
# The servers' hosts are texts of the handlers (the notice address, the page address and
# the image rewrite), as they are of the window's start addresses and page head.
foreach(build image host)
  target_compile_definitions(viewer_handlers_${build} PRIVATE
    NIMBRA_NOTICE_HOST="${NIMBRA_NOTICE_HOST}"
    NIMBRA_WEATHER_HOST="${NIMBRA_WEATHER_HOST}")
endforeach()

add_executable(build_program_image ${CMAKE_CURRENT_LIST_DIR}/build_program_image.cpp)
target_link_libraries(build_program_image PRIVATE program_description qxlink)
nimbra_warnings(build_program_image)

# Object libraries whose objects make up the image, in link order.
set(NIMBRA_IMAGE_OBJECT_LIBRARIES program_routines_image viewer_handlers_image text_routines_image web_routines_image qxruntime_image)
set(NIMBRA_PROGRAM_IMAGE_FILE ${CMAKE_BINARY_DIR}/nimbra.qx CACHE INTERNAL "")

set(image_objects)
foreach(lib ${NIMBRA_IMAGE_OBJECT_LIBRARIES})
  list(APPEND image_objects $<TARGET_OBJECTS:${lib}>)
endforeach()

add_custom_command(
  OUTPUT ${NIMBRA_PROGRAM_IMAGE_FILE}
  COMMAND build_program_image -o ${NIMBRA_PROGRAM_IMAGE_FILE} ${image_objects}
  DEPENDS build_program_image ${image_objects} ${NIMBRA_IMAGE_OBJECT_LIBRARIES}
  COMMAND_EXPAND_LISTS
  COMMENT "Linking the program image"
  VERBATIM)
add_custom_target(program_image ALL DEPENDS ${NIMBRA_PROGRAM_IMAGE_FILE})

configure_file(${CMAKE_CURRENT_LIST_DIR}/program_image.S.in ${CMAKE_CURRENT_BINARY_DIR}/program_image.S @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/program_image.S PROPERTIES
  OBJECT_DEPENDS ${NIMBRA_PROGRAM_IMAGE_FILE})
add_library(nimbra_program_image_object OBJECT ${CMAKE_CURRENT_BINARY_DIR}/program_image.S)
add_dependencies(nimbra_program_image_object program_image)
