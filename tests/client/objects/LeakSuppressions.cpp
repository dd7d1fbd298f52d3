// OpenSSL keeps a random generator, digest state and an error queue per thread and frees them
// when the thread ends; the dispatch pool's threads (which compute the digests of cache keys and
// run the HTTP session's TLS set-up) live until exit, so LeakSanitizer would report that state in
// every test that runs a query. Only used when the program is built with the sanitizer.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\n"; }
