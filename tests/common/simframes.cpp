#include "simframes.h"

namespace testcommon {

std::vector<sim::Frame> framesOf(const sim::Recorder& recorder, int command)
{
    std::vector<sim::Frame> out;
    for (const sim::Frame& frame : recorder.receivedFrames()) {
        if (frame.command == command)
            out.push_back(frame);
    }
    return out;
}

} // namespace testcommon
