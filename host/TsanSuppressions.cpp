// ThreadSanitizer builds only. The HTTP server library is Debian's shared build and is not
// instrumented: it initialises function-local statics (its table of request methods) behind an
// inline guard check the sanitizer cannot see, so a later read of them on another connection
// thread looks unordered. The memory that library touches through C library calls is therefore
// not checked; our own code is, and every lock the library takes is still tracked.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
