#include "host.h"

namespace sim {

HostClient::HostClient(WriteFn write, ReadFn read)
    : m_write(std::move(write))
    , m_read(std::move(read))
{
}

QByteArray HostClient::encodeFrame(std::uint8_t type, std::uint8_t flags, std::uint8_t command,
                                   std::uint16_t parameter, std::uint8_t sequence,
                                   const QByteArray& payload)
{
    QByteArray b;
    const auto length = static_cast<std::uint16_t>(payload.size());
    const std::uint8_t header[11] = {0xAA,
                                     0x00,
                                     0xFF,
                                     flags,
                                     type,
                                     command,
                                     static_cast<std::uint8_t>(parameter & 0xFF),
                                     static_cast<std::uint8_t>(parameter >> 8),
                                     static_cast<std::uint8_t>(length & 0xFF),
                                     static_cast<std::uint8_t>(length >> 8),
                                     sequence};
    std::uint8_t sum = 0;
    for (std::uint8_t h : header) {
        b.append(static_cast<char>(h));
        sum = static_cast<std::uint8_t>(sum + h);
    }
    b.append(static_cast<char>(sum));
    for (char c : payload)
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    b.append(payload);
    b.append(static_cast<char>(sum));
    b.append(static_cast<char>(0xCC));
    return b;
}

QByteArray HostClient::readRequest(std::uint8_t command, std::uint16_t parameter, bool first,
                                   std::uint8_t sequence)
{
    return encodeFrame(2, first ? 0x0C : 0x04, command, parameter, sequence);
}

bool HostClient::send(const QByteArray& bytes)
{
    return m_write(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                   static_cast<std::size_t>(bytes.size()));
}

bool HostClient::readExact(std::uint8_t* into, std::size_t n, Clock::time_point deadline)
{
    std::size_t have = 0;
    while (have < n) {
        const long got = m_read(into + have, n - have);
        if (got < 0)
            return false;
        have += static_cast<std::size_t>(got);
        if (have < n && Clock::now() >= deadline)
            return false;
    }
    return true;
}

std::optional<Frame> HostClient::receive(int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint8_t b = 0;
        if (!readExact(&b, 1, deadline))
            return std::nullopt;
        if (b != 0xAA)
            continue;
        std::uint8_t h[12];
        h[0] = b;
        if (!readExact(h + 1, 11, deadline))
            return std::nullopt;
        std::uint8_t sum = 0;
        for (int i = 0; i < 11; ++i)
            sum = static_cast<std::uint8_t>(sum + h[i]);
        const std::size_t length = h[8] | (std::size_t(h[9]) << 8);
        if (sum != h[11] || length > kMaxPayload)
            continue;
        std::vector<std::uint8_t> rest(length + 2);
        if (!readExact(rest.data(), rest.size(), deadline))
            return std::nullopt;
        for (std::size_t i = 0; i < length; ++i)
            sum = static_cast<std::uint8_t>(sum + rest[i]);
        if (rest[length] != sum || rest[length + 1] != 0xCC)
            continue;
        return frameFrom(h, rest.data(), length);
    }
}

bool HostClient::read(std::uint8_t command, std::uint16_t parameter, QByteArray* data,
                      std::vector<Frame>* replies, int timeoutMs)
{
    data->clear();
    std::uint8_t seq = 0;
    for (bool first = true;; first = false) {
        if (!send(readRequest(command, parameter, first, seq)))
            return false;
        const std::optional<Frame> r = receive(timeoutMs);
        if (!r)
            return false;
        if (replies)
            replies->push_back(*r);
        if (r->type != 3 || r->sequence != seq)
            return false;
        data->append(r->payload);
        if (r->flags & 0x04)
            return true;
        ++seq;
    }
}

std::optional<std::uint8_t> HostClient::write(std::uint8_t command, std::uint16_t parameter,
                                              const QByteArray& data, std::size_t chunk,
                                              int timeoutMs)
{
    const auto total = static_cast<std::size_t>(data.size());
    std::size_t offset = 0;
    std::uint8_t seq = 0;
    do {
        const std::size_t n = std::min(chunk, total - offset);
        std::uint8_t flags = 0;
        if (offset == 0)
            flags |= 0x08;
        if (offset + n >= total)
            flags |= 0x04;
        const QByteArray part = data.mid(static_cast<qsizetype>(offset), static_cast<qsizetype>(n));
        if (!send(encodeFrame(0, flags, command, parameter, seq, part)))
            return std::nullopt;
        const std::optional<Frame> r = receive(timeoutMs);
        if (!r || r->type != 1 || r->payload.isEmpty())
            return std::nullopt;
        const auto status = static_cast<std::uint8_t>(r->payload[0]);
        offset += n;
        if (status != 0 || offset >= total)
            return status;
        ++seq;
    } while (true);
}

std::optional<QByteArray> HostClient::deviceInfo(int timeoutMs)
{
    QByteArray data;
    if (!read(1, 0, &data, nullptr, timeoutMs))
        return std::nullopt;
    return data;
}

} // namespace sim
