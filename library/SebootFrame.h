#ifndef VEXIL_LIBRARY_SEBOOTFRAME_H
#define VEXIL_LIBRARY_SEBOOTFRAME_H

#include <vector>

// Boot command frames of the department-3 boot loader reached over USB DFU, each carried in one
// DNLOAD block: magic 0xF5E6D7C8, frame length, command and its complement, payload, CRC-16/XMODEM,
// all little-endian. Every builder returns the whole frame.
namespace Seboot {

std::vector<unsigned char> BuildFlashImageCmd(unsigned int addr, unsigned int len, unsigned int eraseSize,
                                              unsigned char mode);
std::vector<unsigned char> BuildEraseAllCmd();
std::vector<unsigned char> BuildFactoryCmd(unsigned int addr, unsigned int len, unsigned int eraseSize);
std::vector<unsigned char> BuildNvCmd(unsigned int addr, unsigned int len, unsigned int eraseSize,
                                      unsigned short value);
std::vector<unsigned char> BuildOtpEfuseCmd(unsigned int len);
std::vector<unsigned char> BuildLoaderCmd(unsigned int len);
std::vector<unsigned char> BuildVersionCmd(unsigned int len);
std::vector<unsigned char> BuildResetCmd();

// Up to the next multiple of the 4096-byte erase unit; sizes from 0xF0FFFFFF on are kept as they are.
unsigned int RoundUpEraseSize(unsigned int size);
// The same for a chip whose flash erases in units of another size.
unsigned long RoundUpEraseSize(unsigned long size, unsigned long unit);

}  // namespace Seboot

#endif
