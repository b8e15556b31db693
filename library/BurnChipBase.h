#ifndef VEXIL_LIBRARY_BURNCHIPBASE_H
#define VEXIL_LIBRARY_BURNCHIPBASE_H

#include <cstdint>

// The chip driver base class a device handle points to.
class BurnChipBase {
public:
    // Library-wide settings, shared by every device.
    static uint32_t m_chipType;
    static uint32_t m_department;
    static bool m_isEraseBeforeBurn;
    static bool m_isOnlyBurnLoader;
    static bool m_isBurnDeviceInfo;
    static uint32_t m_packetSize;
};

#endif
