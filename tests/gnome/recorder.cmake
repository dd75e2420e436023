# The recording Wayland client the GNOME tests watch: a GTK 3 window that logs every
# input event it gets. Included from tests/CMakeLists.txt with the GNOME tests.
enable_language(C)
pkg_check_modules(GTK3_RECORDER REQUIRED IMPORTED_TARGET gtk+-3.0)
add_executable(vm-wayland-recorder ${CMAKE_CURRENT_LIST_DIR}/recorder.c)
target_link_libraries(vm-wayland-recorder PRIVATE PkgConfig::GTK3_RECORDER)
set_target_properties(vm-wayland-recorder PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
target_compile_options(vm-wayland-recorder PRIVATE -Wall -Wextra -Werror)
