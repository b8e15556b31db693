#ifndef VEXIL_CLI_BURNINFO_H
#define VEXIL_CLI_BURNINFO_H

// Result codes of the burner workers (the exit status of write, erase and read) and the chip departments.
namespace BurnInfo {

enum ResultCode {
    SUCCESS = 0,
    PARAM_ERROR = 1,
    LOAD_FILE_FAILED = 2,
    INIT_TRANSFER_WAY_FAILED = 3,
    BURN_BOOT_FAILED = 4,
    BURN_PARTITION_FAILED = 5,
    ERASE_PARTITION_FAILED = 6,
    READ_PARTITION_FAILED = 7,
    NULL_POINTER_ERROR = 8,
    NEW_OR_MALLOC_FAILED = 9,
    SEND_CMD_FAILED = 10,
    BURN_SMALL_SSB_FAILED = 11,
    ERASE_FAILED = 12,
    BURN_CHECK_FAILED = 13,
    RESET_FAILED = 14,
    NETWORK_ERROR = 15,
};

// Bits 16-23 of a chip type number.
enum Department {
    CAMERA_CHIP = 1,
    TV_CHIP = 2,
    CONNECTION_CHIP = 3,
    MCU_CHIP = 4,
    DISPLAY_DRIVER_CHIP = 5,
    ZORL_CHIP = 6,
};

constexpr int CHIP_TYPE_TYPESIX = 0x30002;
constexpr int CHIP_TYPE_QX71 = 0x30004;
constexpr int CHIP_TYPE_KP7715 = 0x30005;

// Image types that the partition table pairs with their companions.
constexpr int IMAGE_TYPE_LOADER = 0;
constexpr int IMAGE_TYPE_APP = 18;
constexpr int IMAGE_TYPE_BT = 20;
constexpr int IMAGE_TYPE_DSP = 22;
constexpr int IMAGE_TYPE_SSB_SHA = 24;
constexpr int IMAGE_TYPE_DSP1 = 26;
constexpr int IMAGE_TYPE_SMALL = 28;
constexpr int IMAGE_TYPE_SMALL_SHA = 29;
constexpr int IMAGE_TYPE_FLASH_BIN = 100;
constexpr int IMAGE_TYPE_EMMC_BIN = 101;
constexpr int IMAGE_TYPE_SHA = 102;

inline int DepartmentOf(int chipType)
{
    return (static_cast<unsigned int>(chipType) >> 16) & 0xFF;
}

}  // namespace BurnInfo

#endif
