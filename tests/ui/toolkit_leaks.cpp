// Under LeakSanitizer (the CI's sanitizer pass): GTK, GLib and the accessibility
// client keep caches and type data until the process ends, which LSan would report
// when this test binary exits. Our own allocations are still checked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libatspi.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\nleak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\nleak:libharfbuzz.so\n"
           "leak:libdbus-1.so\nleak:libatk\n";
}
