# The web session: cpp-httplib serves the page, whose files are built into
# the library as byte arrays.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
file(GLOB VEXO_WEB_FILES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/web/*.html ${CMAKE_SOURCE_DIR}/web/*.css ${CMAKE_SOURCE_DIR}/web/*.js
  ${CMAKE_SOURCE_DIR}/web/*.svg)
list(SORT VEXO_WEB_FILES)
set(VEXO_WEB_ASSETS ${CMAKE_BINARY_DIR}/generated/web_assets.cpp)
add_custom_command(OUTPUT ${VEXO_WEB_ASSETS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND ${CMAKE_COMMAND} -DOUT=${VEXO_WEB_ASSETS} "-DFILES=${VEXO_WEB_FILES}"
          -P ${CMAKE_SOURCE_DIR}/web/embed.cmake
  DEPENDS ${VEXO_WEB_FILES} ${CMAKE_SOURCE_DIR}/web/embed.cmake
  COMMENT "Embedding the web page"
  VERBATIM)
target_sources(vexo_core PRIVATE ${VEXO_WEB_ASSETS})
target_link_libraries(vexo_core PUBLIC PkgConfig::HTTPLIB)
