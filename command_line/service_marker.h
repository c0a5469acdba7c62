#pragma once

namespace wdt {

inline constexpr const char* kServiceMarker = "--service";

// Removes every "--service" from the user's arguments and answers whether there was one. The other
// arguments keep their order, argument 0 stays, and argv[argc] stays a null pointer, so that the
// interpreter sees exactly what it would see without the marker.
bool take_service_marker(int& argc, char** argv);

}  // namespace wdt
