// A minimal host side for talking to a recorder from tests and the console
// demo: builds request and write frames and reads replies through any byte
// transport (the D2XX calls, a serial port). It is deliberately small and
// separate from the program's protocol master, so each checks the other.
#pragma once

#include "simulator.h"

#include <functional>

namespace sim {

class HostClient {
public:
    // write: sends all bytes, false on failure. read: reads up to n bytes,
    // waiting at most a short time-out; returns the count, -1 on failure.
    using WriteFn = std::function<bool(const std::uint8_t*, std::size_t)>;
    using ReadFn = std::function<long(std::uint8_t*, std::size_t)>;

    HostClient(WriteFn write, ReadFn read);

    static QByteArray encodeFrame(std::uint8_t type, std::uint8_t flags, std::uint8_t command,
                                  std::uint16_t parameter, std::uint8_t sequence,
                                  const QByteArray& payload = {});
    static QByteArray readRequest(std::uint8_t command, std::uint16_t parameter, bool first,
                                  std::uint8_t sequence);

    bool send(const QByteArray& bytes);
    // The next well-formed frame (checksums and end byte right), skipping
    // anything else; nothing when none completes within timeoutMs.
    std::optional<Frame> receive(int timeoutMs = 500);

    // A whole read: first request, then follow-ups until a reply flagged
    // last. False on a status reply, a missing reply or a broken chain.
    bool read(std::uint8_t command, std::uint16_t parameter, QByteArray* data,
              std::vector<Frame>* replies = nullptr, int timeoutMs = 500);
    // A whole write in chunks of at most `chunk` bytes; the status of the
    // last reply, or nothing when a reply is missing. Stops at the first
    // non-zero status.
    std::optional<std::uint8_t> write(std::uint8_t command, std::uint16_t parameter,
                                      const QByteArray& data, std::size_t chunk = 66,
                                      int timeoutMs = 500);
    // Command 1: the 50-byte device information record.
    std::optional<QByteArray> deviceInfo(int timeoutMs = 500);

private:
    bool readExact(std::uint8_t* into, std::size_t n, Clock::time_point deadline);
    WriteFn m_write;
    ReadFn m_read;
};

} // namespace sim
