// The subset of FTDI's D2XX interface that the device link uses, with D2XX's
// names, types and status values (zero means success). The calls are served
// by our own backends (libftdi1, the kernel's FTDI serial driver and the
// simulated recorder), selected at listing time; see d2xx/backend.h.
#pragma once

#include <cstdint>

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = std::uint8_t;
using LPVOID = void*;
using LPDWORD = DWORD*;
using FT_HANDLE = void*;
using FT_STATUS = ULONG;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_OTHER_ERROR = 18,
    // Ours, not D2XX's (which says FT_DEVICE_NOT_OPENED): the device is
    // there but another program, or another handle, holds it open.
    FT_DEVICE_IN_USE = 0x100,
    // Ours: the handle held its device yielding (d2xx/yielding.h) and let
    // it go to a program that asked for it; every later call on the handle
    // but FT_Close fails with this.
    FT_DEVICE_TAKEN = 0x101,
};

enum : UCHAR {
    FT_BITS_7 = 7,
    FT_BITS_8 = 8,
    FT_STOP_BITS_1 = 0,
    FT_STOP_BITS_2 = 2,
    FT_PARITY_NONE = 0,
    FT_PARITY_ODD = 1,
    FT_PARITY_EVEN = 2,
};

// How FT_OpenEx names the device. FT_OPEN_BY_PLACE is ours, not D2XX's.
enum : DWORD {
    FT_OPEN_BY_SERIAL_NUMBER = 1, // pvArg1: the serial number, as the list shows it
    FT_OPEN_BY_PLACE = 0x100,     // pvArg1: the place, as FT_GetDevicePlace reports it
};

// FT_DEVICE_LIST_INFO_NODE::Flags
enum : ULONG { FT_FLAGS_OPENED = 1, FT_FLAGS_HISPEED = 2 };

// FT_DEVICE_LIST_INFO_NODE::Type
enum : ULONG {
    FT_DEVICE_BM = 0,
    FT_DEVICE_AM = 1,
    FT_DEVICE_100AX = 2,
    FT_DEVICE_UNKNOWN = 3,
    FT_DEVICE_2232C = 4,
    FT_DEVICE_232R = 5,
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8,
    FT_DEVICE_X_SERIES = 9,
};

// Events for FT_SetEventNotification.
enum : DWORD {
    FT_EVENT_RXCHAR = 1, // bytes wait in the receive queue
    // Not a device event: the event was signalled with FT_SetEvent.
    FT_EVENT_SIGNALLED = 0x100,
};

// The event object of FT_SetEventNotification, in the part D2XX leaves to
// the operating system (an event on Windows, a condition on Linux): created
// and destroyed by the caller, signalled by the layer when one of the
// registered device events happens, and by any thread through FT_SetEvent.
// Waiting on it watches the registered device itself, so no thread of the
// layer polls the device on the waiter's behalf.
struct FT_EVENT;
using FT_EVENT_HANDLE = FT_EVENT*;

struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID; // vendor id << 16 | product id
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

// Builds the device list and reports its length.
FT_STATUS FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs);
// Copies the list made by FT_CreateDeviceInfoList; *lpdwNumDevs in: capacity of
// pDest in records (D2XX trusts the caller here; we do not), out: records copied.
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* pDest, LPDWORD lpdwNumDevs);
// Opens the device at that position of the last list. A device that is
// already open, here or by another program, cannot be opened again:
// FT_DEVICE_IN_USE; unless its holder holds it yielding: then it is asked to
// let go, and the open waits for that (see d2xx/yielding.h).
FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* pHandle);
// Opens the one device that the name fits among the devices present now,
// whatever its list position; leaves the list of FT_CreateDeviceInfoList
// alone. Unlike D2XX it never picks the first of several devices that fit:
// that fails with FT_OTHER_ERROR, as no device fitting is FT_DEVICE_NOT_FOUND.
// An empty name fits no device.
FT_STATUS FT_OpenEx(LPVOID pvArg1, DWORD dwFlags, FT_HANDLE* pHandle);
// Not part of D2XX: copies where the device at that position of the last
// list is plugged in (a zero-terminated text that FT_OPEN_BY_PLACE takes)
// into place, which holds size bytes. FT_INSUFFICIENT_RESOURCES when it
// does not fit.
FT_STATUS FT_GetDevicePlace(int deviceNumber, char* place, DWORD size);
FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle);
FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG baudRate);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR wordLength, UCHAR stopBits,
                                    UCHAR parity);
FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG readTimeoutMs, ULONG writeTimeoutMs);
// Writes the block; *lpdwBytesWritten is what the device took.
FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                   LPDWORD lpdwBytesWritten);
// Waits until all requested bytes arrived or the read time-out expired, then
// returns FT_OK with the count received (possibly fewer than requested).
FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                  LPDWORD lpdwBytesReturned);
// Reports the bytes waiting in the receive queue; fails once the device is gone.
FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, LPDWORD lpdwAmountInRxQueue, LPDWORD lpdwAmountInTxQueue,
                       LPDWORD lpdwEventStatus);
FT_STATUS FT_Close(FT_HANDLE ftHandle);

FT_EVENT_HANDLE FT_CreateEvent();
// Ends the event; no wait on it may be running.
void FT_DestroyEvent(FT_EVENT_HANDLE event);
// From now on the event is signalled when one of the events in dwEventMask
// happens on the device; a mask of 0 ends the notification. One device per
// event: a later registration replaces an earlier one.
FT_STATUS FT_SetEventNotification(FT_HANDLE ftHandle, DWORD dwEventMask, FT_EVENT_HANDLE event);
// Signals the event from any thread: a wait running on it returns now, or
// else the next one returns at once. The signal is taken by that wait.
void FT_SetEvent(FT_EVENT_HANDLE event);
// Waits until the event is signalled, a registered event happens or
// dwTimeoutMs pass. *lpdwEvents: FT_EVENT_SIGNALLED and/or FT_EVENT_RXCHAR,
// 0 on the time-out. Fails once the registered device has gone.
FT_STATUS FT_WaitEvent(FT_EVENT_HANDLE event, DWORD dwTimeoutMs, LPDWORD lpdwEvents);
