// A check or repair for the guard tests, built for the platform under test:
//   guard_child exit N       exits with status N
//   guard_child beat FILE    appends a line to FILE every 100 ms, for ever: a number of its own and
//                            the wall-clock time in milliseconds
//   guard_child hang FILE    starts "guard_child beat FILE" and waits for ever: a check that hangs
//                            and leaves a process of its own behind
//   guard_child detach FILE  (Windows) starts "guard_child beat FILE 8" outside its job, as an
//                            application's own start may, and ends
//   guard_child beat FILE S  beats for S seconds only
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

void start_beat(const char* self, const char* file, bool detached = false) {
#ifdef _WIN32
    std::string line = std::string("\"") + self + "\" beat \"" + file + "\"" + (detached ? " 8" : "");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const DWORD flags = detached ? CREATE_BREAKAWAY_FROM_JOB : 0;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &started)) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
#else
    (void)detached;
    char beat[] = "beat";
    char* arguments[] = {const_cast<char*>(self), beat, const_cast<char*>(file), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, self, nullptr, nullptr, arguments, environ);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "exit") == 0) return std::atoi(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "detach") == 0) {
        start_beat(argv[0], argv[2], true);
        return 0;
    }
    if (argc != 3 && !(argc == 4 && std::strcmp(argv[1], "beat") == 0)) return 2;
    if (std::strcmp(argv[1], "hang") == 0) start_beat(argv[0], argv[2]);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(argc == 4 ? std::atoi(argv[3]) : 1000000);
    const unsigned long long me = reinterpret_cast<unsigned long long>(&argc) ^ static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    while (std::chrono::steady_clock::now() < until) {
        if (std::strcmp(argv[1], "beat") == 0) {
            if (std::FILE* file = std::fopen(argv[2], "a")) {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch());
                std::fprintf(file, "%llx %lld\n", me, static_cast<long long>(ms.count()));
                std::fclose(file);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
