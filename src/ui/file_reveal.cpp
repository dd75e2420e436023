#include "ui/file_reveal.h"

#include <gio/gio.h>

namespace vm::ui {

namespace {

void openWithXdg(const std::string& path) {
    // The folder to open: the file's own folder, or the folder itself.
    std::string folder = path;
    if (!g_file_test(path.c_str(), G_FILE_TEST_IS_DIR)) {
        gchar* dir = g_path_get_dirname(path.c_str());
        folder = dir;
        g_free(dir);
    }
    const gchar* argv[] = {"xdg-open", folder.c_str(), nullptr};
    GError* err = nullptr;
    g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                  nullptr, nullptr, &err);
    g_clear_error(&err);
}

}  // namespace

void revealInFileManager(const std::string& path) {
    GError* err = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
    g_clear_error(&err);
    if (!bus) return openWithXdg(path);
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    if (!uri) {
        g_object_unref(bus);
        return openWithXdg(path);
    }
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", uri);
    g_free(uri);
    g_dbus_connection_call(
        bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
        "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        +[](GObject* src, GAsyncResult* res, gpointer data) {
            auto* p = static_cast<std::string*>(data);
            GError* e = nullptr;
            GVariant* r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(src), res, &e);
            if (r) g_variant_unref(r);
            else openWithXdg(*p);  // no file manager on the bus
            g_clear_error(&e);
            delete p;
        },
        new std::string(path));
    g_object_unref(bus);
}

}  // namespace vm::ui
