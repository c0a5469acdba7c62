// The controls that a running service accepts, as the service control manager knows them, for the
// tests under Wine (whose "sc query" does not show them):
//   service_controls NAME     prints them as a hexadecimal number
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    if (service == nullptr || !QueryServiceStatus(service, &status)) return 1;
    std::printf("0x%lx\n", status.dwControlsAccepted);
    return 0;
}
