// Linked into every Qt test program: the font library that Qt loads keeps its caches until the
// process ends, which the leak checker would report as ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
