// OpenSSL keeps a random generator and an error queue per thread and frees them when the thread
// ends; the dispatch pool's threads (which make the temporary-file names of atomic writes) live
// until exit, so LeakSanitizer would report that state in every test program that writes a file.
// Only used when the program is built with the sanitizer.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\n"; }
