#include "command_line/service_marker.h"

#include <cstring>

namespace wdt {

bool take_service_marker(int& argc, char** argv) {
    int kept = argc > 0 ? 1 : 0;
    for (int i = kept; i < argc; ++i) {
        if (std::strcmp(argv[i], kServiceMarker) != 0) argv[kept++] = argv[i];
    }
    const bool found = kept != argc;
    if (found) argv[kept] = nullptr;
    argc = kept;
    return found;
}

}  // namespace wdt
