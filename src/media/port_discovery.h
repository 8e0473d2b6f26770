// Finding the COM port of a USB device behind a CP2101 bridge.
#pragma once
#include <cstdint>

// Known USB devices (UsbDeviceKind), by their bridge's product string.
constexpr int16_t kUsbCollector = 0;           // "USB Data Pick Device"
constexpr int16_t kUsbIcLockEncoder = 3;       // "IC Card Lock Device"
constexpr int16_t kUsbIcToolsEncoder = 4;      // "IC Card Tools Device"
constexpr int16_t kUsbTmLockEncoder = 5;       // "TM Card Lock Device"
constexpr int16_t kUsbTmToolsEncoder = 6;      // "TM Card Tools Device"
constexpr int16_t kUsbTemicLockEncoder = 7;    // "TEMIC Card Lock Device"
constexpr int16_t kUsbTemicToolsEncoder = 8;   // "TEMIC Card Tools Device"
constexpr int16_t kUsbMifareLockEncoder = 9;   // "Mifare Card Lock Device"
constexpr int16_t kUsbMifareToolsEncoder = 10; // "Mifare Card Tools Device"

// 1 with *kind and *port (the device's COM port) set, or KS_ERR_OPEN_OR_NO_DEV
// with both left alone.
int16_t FindUsbDevicePort(int16_t *kind, int16_t *port);
// COM number, or -1 (kResultNotFound): nothing found, or a kind outside the table.
int PortForDeviceKind(int16_t kind);
int PortForProductName(const char *product);
// Registry lookups of a bridge's COM port; `serial` (NUL-terminated) is
// changed in place: spaces become '_', and on the 9x family letters capitals.
int PortFromSlabcrEnum(uint16_t vid, uint16_t pid, char *serial);
int PortFromUsbEnum(uint16_t vid, uint16_t pid, char *serial);
