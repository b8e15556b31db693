#include "Burn.h"

#include "BurnChipBase.h"
#include "Common.h"

PrintCallback g_printInfo = nullptr;
CancelQueryCallback g_isCancelled = nullptr;
ProgressCallback g_setProgress = nullptr;

void RegisterCallback(PrintCallback print, CancelQueryCallback isCancelled, ProgressCallback progress)
{
    g_printInfo = print;
    g_isCancelled = isCancelled;
    g_setProgress = progress;
}

void SetChipType(int chipType)
{
    BurnChipBase::m_chipType = static_cast<uint32_t>(chipType);
    BurnChipBase::m_department = (BurnChipBase::m_chipType >> 16) & 0xFF;
}

void SetIsEraseBeforeBurn(int flag)
{
    BurnChipBase::m_isEraseBeforeBurn = (flag != 0);
}

void SetIsOnlyBurnLoader(int flag)
{
    BurnChipBase::m_isOnlyBurnLoader = (flag != 0);
}

void SetIsBurnDeviceInfo(unsigned flag)
{
    BurnChipBase::m_isBurnDeviceInfo = (flag != 0);
}

void SetPacketSize(unsigned size)
{
    BurnChipBase::m_packetSize = size;
}
