// A program for Windows that does nothing: the PE files that test_certificate_table signs. The
// 32-bit one is built without a C runtime, which Debian's mingw-w64 lacks for 32 bits: it starts
// at korvane_start, and has no main, which would call the runtime's __main.
int korvane_start(void) {
    return 0;
}

#ifndef KORVANE_WITHOUT_C_RUNTIME
int main(void) {
    return korvane_start();
}
#endif
