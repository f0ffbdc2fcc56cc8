// The bounds test starts HEVC encoders: x265 keeps a few per-encoder filter
// buffers it never frees, the library's and not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
