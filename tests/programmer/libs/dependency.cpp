// A library that a test programmer library needs, kept out of the loader's sight.
extern "C" __attribute__((visibility("default"))) int kw_testlib_dependency() {
    return 0;
}
