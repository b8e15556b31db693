#include "BurnChipBase.h"

uint32_t BurnChipBase::m_chipType = 0;
uint32_t BurnChipBase::m_department = 0;
bool BurnChipBase::m_isEraseBeforeBurn = true;
bool BurnChipBase::m_isOnlyBurnLoader = false;
bool BurnChipBase::m_isBurnDeviceInfo = false;
uint32_t BurnChipBase::m_packetSize = 1024;
