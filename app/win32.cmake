# Quorwind.exe: GUI subsystem, Unicode entry, static runtime, resources.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(QUORWIND_ICON ${CMAKE_CURRENT_BINARY_DIR}/quorwind.ico)
add_custom_command(
  OUTPUT ${QUORWIND_ICON}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/make_icon.py ${QUORWIND_ICON}
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_icon.py
  COMMENT "Drawing the icon")
# The manifest names the project's version; windres finds it in the build
# directory, before the sources.
configure_file(quorwind.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/quorwind.manifest @ONLY)
set_source_files_properties(quorwind.rc PROPERTIES
  OBJECT_DEPENDS "${QUORWIND_ICON};${CMAKE_CURRENT_BINARY_DIR}/quorwind.manifest;${CMAKE_CURRENT_BINARY_DIR}/version.h")

add_library(app_win32 STATIC platform-win32.cc form1-win32.cc)
target_include_directories(app_win32 PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(app_win32 PUBLIC playback)

add_executable(Quorwind WIN32 main-win32.cc quiet_terminate.cc quorwind.rc)
target_link_libraries(Quorwind PRIVATE app_win32)
target_include_directories(Quorwind PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
target_link_options(Quorwind PRIVATE -municode -Wl,--gc-sections $<$<CONFIG:Release,MinSizeRel>:-s>)
target_compile_options(Quorwind PRIVATE -ffunction-sections -fdata-sections)
set_target_properties(Quorwind PROPERTIES OUTPUT_NAME Quorwind
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# windres finds the icon and the manifest in the build directory.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_CURRENT_BINARY_DIR} -I${CMAKE_CURRENT_SOURCE_DIR}"
  PARENT_SCOPE)
target_compile_options(Quorwind PRIVATE
  $<$<COMPILE_LANGUAGE:RC>:-I${CMAKE_CURRENT_BINARY_DIR} -I${CMAKE_CURRENT_SOURCE_DIR}>)
install(TARGETS Quorwind RUNTIME DESTINATION bin)

if(QUORWIND_TESTS)
  add_executable(app_win32_test platform-win32_test.cc)
  target_link_libraries(app_win32_test PRIVATE app_win32 GTest::gtest_main)
  quorwind_discover_tests(app_win32_test)
endif()

# The zip for Windows users: the program, a short README and the licence, in a
# folder named after the version; the texts get Windows line ends.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QUORWIND_ZIP_NAME Quorwind-${PROJECT_VERSION}-win64)
else()
  set(QUORWIND_ZIP_NAME Quorwind-${PROJECT_VERSION}-win32)
endif()
set(QUORWIND_ZIP_DIR ${CMAKE_BINARY_DIR}/zip/Quorwind-${PROJECT_VERSION})
configure_file(README-windows.txt ${QUORWIND_ZIP_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${QUORWIND_ZIP_DIR}/LICENSE.txt @ONLY
  NEWLINE_STYLE CRLF)
add_custom_target(windows_zip
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Quorwind> ${QUORWIND_ZIP_DIR}/
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/zip
    ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/${QUORWIND_ZIP_NAME}.zip --format=zip
    Quorwind-${PROJECT_VERSION}
  DEPENDS Quorwind
  COMMENT "Packing ${QUORWIND_ZIP_NAME}.zip")
