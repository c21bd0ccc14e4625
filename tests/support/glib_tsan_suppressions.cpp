// GLib, GObject, GIO, libsecret and its libgcrypt are not built with ThreadSanitizer, so it cannot
// follow their own locks or how they hand data between their D-Bus worker thread and the calling
// thread, and reports races and lock misuse inside them that are none. Link this file into test
// binaries that talk to the Secret Service; outside ThreadSanitizer builds nothing calls it.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so\n"
           "called_from_lib:libgobject-2.0.so\n"
           "called_from_lib:libgio-2.0.so\n"
           "called_from_lib:libsecret-1.so\n"
           "called_from_lib:libgcrypt.so\n"
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libsecret-1.so\n"
           "race:libgcrypt.so\n"
           "mutex:libglib-2.0.so\n"
           "mutex:libgobject-2.0.so\n"
           "mutex:libgio-2.0.so\n"
           "deadlock:libglib-2.0.so\n"
           "deadlock:libgobject-2.0.so\n"
           "deadlock:libgio-2.0.so\n";
}
