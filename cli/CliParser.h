#ifndef VEXIL_CLI_CLIPARSER_H
#define VEXIL_CLI_CLIPARSER_H

#include <string>

#include "BurnContext.h"
#include "CommonUtil.h"

// The options after the command word (argument 2 on), in two passes: --config first, then everything else.
constexpr int EXTRA_START = 2;
constexpr int USB_ID_MAX = 65535;
constexpr int DFU_TRANSFER_SIZE_MIN = 64;
constexpr int DFU_TRANSFER_SIZE_MAX = 65535;

// A DFU transfer size from the command line or burn.config.
constexpr CommonUtil::NumberRule DFU_TRANSFER_SIZE = {DFU_TRANSFER_SIZE_MIN, DFU_TRANSFER_SIZE_MAX, true,
                                                      "64 to 65535"};
// The serial port always runs with 8 data bits, no parity and one stop bit (0 or 1 both name it), so
// no other framing can be asked for.
constexpr CommonUtil::NumberRule STOP_BITS = {0, 1, false, "0 or 1: the port always runs with one stop bit"};
constexpr CommonUtil::NumberRule PARITY = {0, 0, false, "0: the port always runs without parity"};

// Every word must be an option of the parser or the value the option before it takes; the first that
// is neither, or a value option that ends the words without its value or with an empty one, is
// reported and gives false.
bool CheckOptionWords(int argc, char** argv);
void ParseConfigParam(int argc, char** argv, BurnInfo::BurnContext* context);
// False when the words do not pass CheckOptionWords (and then nothing is set), after the first invalid
// value (reported) or when both transports were named. Each option given is noted in the context.
bool ParseExtraParam(int argc, char** argv, BurnInfo::BurnContext* context);

// "<vid>:<pid>", each 1 to 4 hexadecimal digits with an optional "0x".
bool ParseVidPid(const char* text, int& vendorId, int& productId);
bool ParseHexId(const std::string& text, int& id);

#endif
