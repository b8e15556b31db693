#ifndef VEXIL_LIBRARY_BURN_H
#define VEXIL_LIBRARY_BURN_H

// The device API: the flat boundary through which a program drives the burn library.

typedef void (*PrintCallback)(long long handle, const char* tag, const char* message, const char* debugMessage,
                              int level);
typedef int (*CancelQueryCallback)();
typedef void (*ProgressCallback)(long long handle, int percent);

// Library-wide settings; they apply to every device, also to devices already open.
void RegisterCallback(PrintCallback print, CancelQueryCallback isCancelled, ProgressCallback progress);
void SetChipType(int chipType);
void SetIsEraseBeforeBurn(int flag);
void SetIsOnlyBurnLoader(int flag);
void SetIsBurnDeviceInfo(unsigned flag);
void SetPacketSize(unsigned size);

#endif
