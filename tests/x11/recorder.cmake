# The recording client the X11 tests watch: a window that logs every input event
# it gets. Included from tests/CMakeLists.txt after the vellomark_x11_tests target.
enable_language(C)
pkg_check_modules(XLIB REQUIRED IMPORTED_TARGET x11)
add_executable(vm-x11-recorder ${CMAKE_CURRENT_LIST_DIR}/recorder.c)
target_link_libraries(vm-x11-recorder PRIVATE PkgConfig::XLIB)
set_target_properties(vm-x11-recorder PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
vellomark_warnings(vm-x11-recorder)
if(TARGET vellomark_x11_tests)
  add_dependencies(vellomark_x11_tests vm-x11-recorder)
  # The session tests play a screensaver on a private bus.
  target_link_libraries(vellomark_x11_tests PRIVATE PkgConfig::GIO)
endif()
