// Shared by the operations tests: recorders of small frames holding
// sequences, and what the recorder was asked.
#pragma once

#include "protocoltest.h"
#include "recorder_vocabulary.h"

#include <map>

inline QByteArray sequence(int id, int size)
{
    return sim::makeFile(std::uint32_t(id), mzt500::SequenceRecord, std::size_t(size), 61000);
}

// Frames of 200 bytes, so that a file of a few KiB takes many of them.
inline sim::DeviceConfig recorderWith(std::map<std::uint16_t, QByteArray> files)
{
    sim::DeviceConfig c = sim::DeviceConfig::recorder();
    c.maxFrameSize = 200;
    c.files = std::move(files);
    return c;
}

inline int countOf(const sim::Recorder& r, int command)
{
    int n = 0;
    for (const sim::Frame& f : r.receivedFrames())
        n += f.command == command ? 1 : 0;
    return n;
}
