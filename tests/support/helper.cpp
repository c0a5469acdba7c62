// A library that a test driver library needs, for the tests of where such a library is looked for.
extern "C" __declspec(dllexport) int wdt_helper() { return 42; }

#ifdef WDTIO_MARK
// The library that a test driver loads at run time; each copy answers its own mark.
extern "C" __declspec(dllexport) int wdtio_mark() { return WDTIO_MARK; }
#endif
