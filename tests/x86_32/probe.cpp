// Whether the multilib compiler builds a static 32-bit C++ program here (configure time).
#include <cstdio>
int main() { std::puts("32-bit"); }
