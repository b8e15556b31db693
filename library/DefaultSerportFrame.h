#ifndef VEXIL_LIBRARY_DEFAULTSERPORTFRAME_H
#define VEXIL_LIBRARY_DEFAULTSERPORTFRAME_H

#include "FrameFormatBase.h"

namespace DefaultSerportFrameSp {

// A command as a head frame and a data frame, each acknowledged by the board with one byte.
class DefaultSerportFrame : public FrameFormatBase {
public:
    bool SendCmd(unsigned char* command, unsigned long length, unsigned char* reply, int replyLength,
                 int timeoutMs) override;
};

}  // namespace DefaultSerportFrameSp

#endif
