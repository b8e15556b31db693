#ifndef VEXIL_CLI_CLIPARSER_H
#define VEXIL_CLI_CLIPARSER_H

#include <string>

#include "BurnContext.h"

// The options after the command word (argument 2 on), in two passes: --config first, then everything else.
constexpr int EXTRA_START = 2;
constexpr int USB_ID_MAX = 65535;
constexpr int DFU_TRANSFER_SIZE_MIN = 64;
constexpr int DFU_TRANSFER_SIZE_MAX = 65535;

// A DFU transfer size from the command line or burn.config: 64 to 65535, else reported and false.
bool CheckTransferSize(int size);

// Every word must be an option of the parser or the value the option before it takes; the first that
// is neither, or a value option that ends the words without its value, is reported and gives false.
bool CheckOptionWords(int argc, char** argv);
void ParseConfigParam(int argc, char** argv, BurnInfo::BurnContext* context);
// False when the words do not pass CheckOptionWords (and then nothing is set), after the first invalid
// value (reported) or when both transports were named.
bool ParseExtraParam(int argc, char** argv, BurnInfo::BurnContext* context);

// "<vid>:<pid>", each 1 to 4 hexadecimal digits with an optional "0x".
bool ParseVidPid(const char* text, int& vendorId, int& productId);
bool ParseHexId(const std::string& text, int& id);

#endif
