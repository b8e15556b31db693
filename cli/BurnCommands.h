#ifndef VEXIL_CLI_BURNCOMMANDS_H
#define VEXIL_CLI_BURNCOMMANDS_H

#include <memory>
#include <string>
#include <vector>

#include "BurnContext.h"
#include "BurnerWorkerBase.h"

// The commands write, erase, read and list; each returns the exit status.
int Write(int argc, char* argv[]);
int Erase(int argc, char* argv[]);
int Read(int argc, char* argv[]);
int List(int argc, char* argv[]);

// Refuses, in one line that says why, the first option the command line gave that the command (such
// as "parse" or "list hid") does not use: the used ones are named by their long names.
bool TakesOnly(const BurnInfo::BurnContext& context, const std::vector<std::string>& used, const std::string& command,
               const char* why);

// Whether a command can do what the filled context asks of it on every road; if not, says why.
using RequestCheck = bool (*)(const BurnInfo::BurnContext& context);

// The set-up shared by write, erase and read: a worker that owns its filled context, or null (reported)
// also when the command cannot honour the request.
std::unique_ptr<BurnerWorkerBase> GetBurner(int argc, char* argv[], RequestCheck honoured);
// 0 when the context is ready; 1 or 2 after a failure that has been reported.
int InitBurnParam(int argc, char* argv[], BurnInfo::BurnContext* context);
// The worker that suits the transport and the chip; null (reported) when there is none. The context
// goes with the worker, or is released when there is none.
std::unique_ptr<BurnerWorkerBase> NewBurnerWorker(int chipType, std::unique_ptr<BurnInfo::BurnContext> context);

int ListSerialPorts();
int ListHidDevices(int argc, char* argv[]);
void ListUsage();
void ListPrint(long long handle, const char* tag, const char* message, const char* debugMessage, int level);

#endif
