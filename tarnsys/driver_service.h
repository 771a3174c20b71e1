// The VARN driver service on Windows NT: whether it is registered and running, registering it, and
// starting it. Each routine opens the local service control manager itself and closes every
// handle it opened before it returns.
#pragma once

#include "platform/win32.h"

// The longest wait for a service that reports start pending: this many polls one second apart,
// the service manager's own default start timeout.
inline constexpr int kStartPendingPolls = 30;

// True when the service can be opened.
bool DriverServiceExists(const char* name);

// True when the service's state is anything but stopped.
bool DriverServiceRunning(const char* name);

// Registers a service. Null or empty texts are passed as absent; the tag text is a decimal number;
// the dependency text lists names separated by ';'. True when the service was created or existed.
bool InstallDriverService(const char* serviceName, const char* displayName, const char* driverPath,
                          const char* dependencies, win32::DWORD startType, win32::DWORD serviceType,
                          win32::DWORD desiredAccess, win32::DWORD errorControl, const char* loadOrderGroup,
                          const char* tagText, const char* startName, const char* password);

// Starts a service and waits while it reports start pending, at most kStartPendingPolls seconds.
// True when it was started or already running.
bool StartDriverService(const char* name);
