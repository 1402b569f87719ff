// The system's word that a network came up or an address changed.
#include "client/network_watch.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

typedef DWORD(WINAPI *notify_interface_function)(ADDRESS_FAMILY, PIPINTERFACE_CHANGE_CALLBACK,
                                                 PVOID, BOOLEAN, HANDLE *);
typedef DWORD(WINAPI *notify_address_function)(ADDRESS_FAMILY, PUNICAST_IPADDRESS_CHANGE_CALLBACK,
                                               PVOID, BOOLEAN, HANDLE *);
typedef DWORD(WINAPI *cancel_function)(HANDLE);
typedef DWORD(WINAPI *notify_addr_change_function)(PHANDLE, LPOVERLAPPED);
typedef BOOL(WINAPI *cancel_ip_change_function)(LPOVERLAPPED);

static HANDLE event;
// The notices' requests, NULL when not made (Wine hands back NULL for a request it takes).
static HANDLE interface_request, address_request;
static cancel_function cancel_request;
// NotifyAddrChange's request, when the system has nothing newer.
static notify_addr_change_function notify_addr_change;
static cancel_ip_change_function cancel_ip_change;
static OVERLAPPED addr_change;
static bool addr_change_asked;

static bool is_notice(MIB_NOTIFICATION_TYPE type) {
    return type == MibAddInstance || type == MibParameterNotification;
}

// On a thread of the system's; it must not wait for anything, since cancelling waits for it.
static void WINAPI interface_changed(PVOID, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE type) {
    if (is_notice(type)) {
        SetEvent(event);
    }
}

static void WINAPI address_changed(PVOID, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE type) {
    if (is_notice(type)) {
        SetEvent(event);
    }
}

HANDLE network_watch_event(void) {
    return event;
}

void network_watch_start(void) {
    if (event == NULL) {
        event = CreateEventA(NULL, FALSE, FALSE, NULL);
    }
    HMODULE helper = LoadLibraryA("iphlpapi.dll");
    if (event == NULL || helper == NULL) {
        return;
    }
    notify_interface_function notify_interface =
        (notify_interface_function)(void *)GetProcAddress(helper, "NotifyIpInterfaceChange");
    notify_address_function notify_address =
        (notify_address_function)(void *)GetProcAddress(helper, "NotifyUnicastIpAddressChange");
    cancel_request = (cancel_function)(void *)GetProcAddress(helper, "CancelMibChangeNotify2");
    if (notify_interface != NULL && cancel_request != NULL) {
        if (notify_interface(AF_UNSPEC, interface_changed, NULL, FALSE, &interface_request) !=
            NO_ERROR) {
            interface_request = NULL;
        }
        if (notify_address == NULL ||
            notify_address(AF_UNSPEC, address_changed, NULL, FALSE, &address_request) != NO_ERROR) {
            address_request = NULL;
        }
        return;
    }
    notify_addr_change =
        (notify_addr_change_function)(void *)GetProcAddress(helper, "NotifyAddrChange");
    cancel_ip_change =
        (cancel_ip_change_function)(void *)GetProcAddress(helper, "CancelIPChangeNotify");
    if (notify_addr_change != NULL && cancel_ip_change != NULL) {
        addr_change.hEvent = event;
        network_watch_rearm();
    }
}

void network_watch_rearm(void) {
    if (event != NULL) {
        ResetEvent(event);
    }
    // A request still pending goes on; one that told, or never started, is made again.
    if (notify_addr_change != NULL &&
        (!addr_change_asked || HasOverlappedIoCompleted(&addr_change))) {
        HANDLE ignored = NULL;
        addr_change_asked = notify_addr_change(&ignored, &addr_change) == ERROR_IO_PENDING;
    }
}

void network_watch_stop(void) {
    if (interface_request != NULL) {
        cancel_request(interface_request);
        interface_request = NULL;
    }
    if (address_request != NULL) {
        cancel_request(address_request);
        address_request = NULL;
    }
    if (addr_change_asked) {
        cancel_ip_change(&addr_change);
        addr_change_asked = false;
    }
    notify_addr_change = NULL;
}
