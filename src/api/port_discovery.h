// Finding the COM port of a USB device behind a CP2101 bridge.
#pragma once
#include <cstdint>

// Known USB devices, by their bridge's product string.
constexpr int16_t kUsbCollector = 0;
constexpr int16_t kUsbMifareLockEncoder = 9;
constexpr int16_t kUsbTemicLockEncoder = 7;

// 1 with *kind and DiscoveredPort set, or KS_ERR_OPEN_OR_NO_DEV.
int16_t FindUsbDevicePort(int16_t *kind);
int PortForDeviceKind(int16_t kind);
int PortForProductName(const char *product);
int PortFromSlabcrEnum(uint16_t vid, uint16_t pid, char *serial);
int PortFromUsbEnum(uint16_t vid, uint16_t pid, char *serial);
