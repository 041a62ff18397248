// Qt is not built with ThreadSanitizer: its thread pool and wait conditions hand work over
// through atomics the tool cannot see, so races reported inside Qt's own libraries are
// not ours.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\n"
         "race:libQt6Gui.so\n";
}
