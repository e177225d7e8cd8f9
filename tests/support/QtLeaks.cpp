// Linked into every Qt test program: the font and message-bus libraries that Qt loads keep
// their caches until the process ends, which the leak checker would report as ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n";
}
