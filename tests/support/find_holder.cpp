// find_holder PATH: the process that the kernel driver library's search finds holding PATH open,
// on the real /proc, as "pid name"; "0" when none, "-1" when it could not look everywhere.
#include <cstdio>

#include "real_kernel.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    char name[64] = "";
    const char* names[] = {argv[1]};
    const long holder = kwd::find_holder(kwd::real_kernel(), names, 1, name, sizeof name);
    std::printf(holder > 0 ? "%ld %s\n" : "%ld\n", holder, name);
    return 0;
}
