#pragma once
// Shows a file or folder selected in the desktop's file manager.
#include <string>

namespace vm::ui {

// Asks the file manager over D-Bus (org.freedesktop.FileManager1.ShowItems); where
// none answers, opens the folder that holds `path` (or `path` itself, a folder)
// with xdg-open. Returns at once; main thread.
void revealInFileManager(const std::string& path);

}  // namespace vm::ui
