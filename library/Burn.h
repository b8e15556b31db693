#ifndef VEXIL_LIBRARY_BURN_H
#define VEXIL_LIBRARY_BURN_H

// The device API: the flat boundary through which a program drives the burn library.
// A device handle is the chip driver object; the print and progress callbacks receive it as a long long.

class BurnChipBase;

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

// Device lists: a count (0 for the serial ports) or -1.
int GetSerialPortList(char* buffer, int length);
int GetHidDeviceList(char* buffer, int length, int vid, int pid);
int GetUsbDfuDeviceList(char* buffer, int length, int vid, int pid);

// The driver class follows the chip type set before; null on failure.
BurnChipBase* OpenSerialPort(const char* port, unsigned baud, int stopBits, int parity);
BurnChipBase* OpenUsbDfuDevice(int vid, int pid, const char* serial);

// Per-device calls: 1 (or a count) for success, 0 for failure.
int DestroyDevice(BurnChipBase* handle);
int Reset(BurnChipBase* handle);
int EraseFlash(BurnChipBase* handle, unsigned long address, unsigned long length);
int EraseAllFlash(BurnChipBase* handle, const char* bootFile);
int DownloadAllinoneBin(BurnChipBase* handle, const char* file, unsigned long address);
int BootDownload(BurnChipBase* handle, const char* bootFile, unsigned long ddrAddress, int param, const char* param2,
                 unsigned long* outDdrAddress);
int DownloadToFlash(BurnChipBase* handle, const char* file, unsigned long unused1, unsigned long unused2,
                    unsigned long address, unsigned long length, unsigned long unused3, int fileKind);
int DownloadToDdr(BurnChipBase* handle, const char* file, unsigned char* data, unsigned long first,
                  unsigned long second);
int UploadFile(BurnChipBase* handle, unsigned long address, int length, const char* outFile);
int SendCmd(BurnChipBase* handle, unsigned char* cmd, int length, unsigned char* reply, int replyLength,
            int timeoutMs);
int SendBytes(BurnChipBase* handle, const unsigned char* data, int length);
int ReceiveBytes(BurnChipBase* handle, unsigned char* buffer, int length);
// May be called from another thread, or from a callback, while an operation runs.
void Cancel(BurnChipBase* handle);

void SetHandshakeTimeout(BurnChipBase* handle, int ms);
void SetPerPacketSize(BurnChipBase* handle, int size);
void SetIsReset(BurnChipBase* handle, int flag);
void SetIsReady(BurnChipBase* handle, int flag);
void SetCtrlPeriod(BurnChipBase* handle, int ms);
void SetSwitchAfterLoader(BurnChipBase* handle, int flag);
void SetBeforeReset(BurnChipBase* handle, int flag);
void SetAtResetCommand(BurnChipBase* handle, const char* text);
void SetDfuTransferSize(BurnChipBase* handle, int size);
void SetDfuTimeout(BurnChipBase* handle, int ms);

#endif
