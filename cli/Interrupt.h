#ifndef VEXIL_CLI_INTERRUPT_H
#define VEXIL_CLI_INTERRUPT_H

#include <sys/types.h>

#include <functional>
#include <string>

// Ctrl-C (SIGINT), SIGTERM and a hang-up (SIGHUP, the terminal closed) ask the running command to
// stop: the library's waits see it through the cancel query, the command unwinds through its normal
// path (the port closes, an unfinished read goes), and the tool ends with 128 + the signal's number.
// A second signal, other than a repeated hang-up, ends the tool at once. SIGPIPE and SIGXFSZ are ignored.
// Once a signal has come, a console that takes nothing (a full pipe, a terminal stopped with Ctrl-S) no
// longer holds the tool: a write to it that blocks is interrupted, and it gets only what it has room for.
namespace Interrupt {

// Call in main before any other thread exists (and after the console colour is set): every thread
// then leaves the signals to one watching thread, so that no system call of the library is cut
// short by them, and standard output becomes the console stream that a signal can interrupt.
void Watch();
// The signal that asked the tool to stop; 0 while none did, and for one that came once the outcome
// was settled.
int Received();
// Called where the command's outcome is decided, with the status the command ends with: false when a
// signal has already asked the tool to stop. A first signal that comes later changes neither the outcome
// nor the status; the waits still end at it, and a second one ends the tool at once with that status.
// Called again once settled, it gives the status anew (an outcome decided before its last step failed).
bool Settle(int status);
// The cancel query handed to the library: non-zero once a signal asked the tool to stop.
int CancelQuery();
// The file that ending at once removes: the unfinished file of a read under way, by its name in the
// open directory given; "" for none.
void SetScratchFile(int directory, const std::string& name);
// Makes that file as openat does with the flags and mode given (O_EXCL among them) and, once it is
// made, names it so; ending at once waits for both steps, so that it neither removes a file of that name
// this run did not make nor leaves behind one that it did. Gives the descriptor, -1 and errno when the
// file could not be made.
int CreateScratchFile(int directory, const std::string& name, int flags, mode_t mode);
// The directory that ending at once removes with the files in it: a run's own, by its name in the open
// directory given; "" for none.
void SetScratchDirectory(int parent, const std::string& name);
// Runs step with ending at once held off until it returns: a scratch file or directory that step makes
// and names is then neither left behind nor removed before it is this run's.
void WithEndHeldOff(const std::function<void()>& step);
// The exit status for the signal received.
int ExitStatus();
// Ends the progress bar's line, says what stopped the tool, and leaves the terminal with its
// colours and cursor as they were.
void Report();

}  // namespace Interrupt

#endif
