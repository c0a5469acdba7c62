// A library that a test driver library needs, for the tests of where such a library is looked for.
extern "C" __declspec(dllexport) int wdt_helper() { return 42; }
