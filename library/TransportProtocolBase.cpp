#include "TransportProtocolBase.h"

#include <vector>

#include "BurnChipBase.h"
#include "Common.h"

namespace {
constexpr int BOOT_COMMAND_REPLY_LEN = 8192;
}

TransportProtocolBase::TransportProtocolBase(BurnChipBase* chip) : m_chip(chip) {}

bool TransportProtocolBase::DownloadFileToDdr(unsigned char* data, unsigned long length, unsigned long address,
                                              const char* file)
{
    (void)data;
    (void)length;
    (void)address;
    (void)file;
    return true;
}

bool TransportProtocolBase::DownloadFile(const char* file, unsigned long address, unsigned long length)
{
    (void)file;
    (void)address;
    (void)length;
    return true;
}

bool TransportProtocolBase::DownloadData(unsigned char* data, unsigned long length, unsigned long address,
                                         unsigned long size)
{
    (void)data;
    (void)length;
    (void)address;
    (void)size;
    return true;
}

bool TransportProtocolBase::UploadFile(const char* file, int length, unsigned long address)
{
    (void)file;
    (void)length;
    (void)address;
    return true;
}

bool TransportProtocolBase::EraseFlash(unsigned long address, unsigned long length)
{
    (void)address;
    (void)length;
    return true;
}

bool TransportProtocolBase::DownloadDataToDdr(unsigned long address, const char* file)
{
    (void)address;
    (void)file;
    return true;
}

bool TransportProtocolBase::SendData(unsigned long address, unsigned long length, unsigned char* data)
{
    (void)address;
    (void)length;
    (void)data;
    return true;
}

void TransportProtocolBase::SetTransport(BurnChipBase* chip)
{
    m_chip = chip;
}

void TransportProtocolBase::SetFileType(int kind)
{
    m_fileType = kind;
}

void TransportProtocolBase::SetShaData(unsigned char* data, unsigned long length)
{
    m_shaData = data;
    m_shaLength = length;
}

bool TransportProtocolBase::SendBootCommand(const std::string& command, int timeoutMs)
{
    if (m_chip == nullptr) {
        return false;
    }
    Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "\nSend command: %s\n",
                      Common::Printable(command).c_str());
    std::vector<unsigned char> text(command.begin(), command.end());
    std::vector<unsigned char> reply(BOOT_COMMAND_REPLY_LEN, 0);
    return m_chip->SendCmd(text.data(), text.size(), reply.data(), BOOT_COMMAND_REPLY_LEN, timeoutMs) != 0;
}
