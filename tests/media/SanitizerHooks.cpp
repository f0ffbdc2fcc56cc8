// x265 keeps a few per-encoder filter buffers it never frees; they are the
// library's, not ours, and would fail every HEVC test under LeakSanitizer.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
