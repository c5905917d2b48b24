#include "kvpframe.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

std::uint8_t sum(const std::uint8_t* bytes, std::size_t n, std::uint8_t start = 0)
{
    for (std::size_t i = 0; i < n; ++i)
        start = static_cast<std::uint8_t>(start + bytes[i]);
    return start;
}

std::uint16_t u16At(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void writeHeader(KVPEngine* e, std::uint8_t flags, std::uint8_t type, std::uint8_t command,
                 std::uint16_t parameter, std::uint16_t length, std::uint8_t sequence)
{
    std::uint8_t* t = e->tx;
    t[KVP_OFF_START] = KVP_START;
    t[KVP_OFF_RESERVED] = 0;
    t[KVP_OFF_ADDRESS] = KVP_ADDRESS_MASTER;
    t[KVP_OFF_FLAGS] = flags;
    t[KVP_OFF_TYPE] = type;
    t[KVP_OFF_COMMAND] = command;
    t[KVP_OFF_PARAMETER] = static_cast<std::uint8_t>(parameter & 0xFF);
    t[KVP_OFF_PARAMETER + 1] = static_cast<std::uint8_t>(parameter >> 8);
    t[KVP_OFF_LENGTH] = static_cast<std::uint8_t>(length & 0xFF);
    t[KVP_OFF_LENGTH + 1] = static_cast<std::uint8_t>(length >> 8);
    t[KVP_OFF_SEQUENCE] = sequence;
    t[KVP_OFF_HEADER_SUM] = sum(t, KVP_OFF_HEADER_SUM);
    e->command.store(command, std::memory_order_relaxed);
    e->sequence.store(sequence, std::memory_order_relaxed);
}

std::uint8_t nextSequence(const KVPEngine* e, bool first)
{
    return first ? 0 : static_cast<std::uint8_t>(e->sequence.load(std::memory_order_relaxed) + 1);
}

void scheduleRepetition(KVPEngine* e)
{
    std::uint8_t* t = e->tx;
    if (t[KVP_OFF_FLAGS] == 0) {
        // A middle frame is marked as repeated so the recorder can tell it
        // from the next one; both checksums follow the changed byte.
        const std::size_t length = u16At(t + KVP_OFF_LENGTH);
        t[KVP_OFF_FLAGS] = KVP_FLAG_REPEATED;
        t[KVP_OFF_HEADER_SUM] = static_cast<std::uint8_t>(t[KVP_OFF_HEADER_SUM] + 1);
        t[KVP_HEADER_SIZE + length] = static_cast<std::uint8_t>(t[KVP_HEADER_SIZE + length] + 1);
    }
    e->pending.store(true, std::memory_order_release);
}

void reportFailure(KVPEngine* e, std::uint8_t command, std::uint16_t parameter, std::uint8_t status)
{
    if (e->requestMode.load(std::memory_order_relaxed)) {
        if (e->dataHook)
            e->dataHook(e, command, parameter, 0, nullptr, true, true, status);
    } else if (e->acknowledgeHook) {
        e->acknowledgeHook(e, command, parameter, status);
    }
}

// Corrupt replies mean the recorder took the frame in and answered it. A
// recorder need not know a frame it receives twice, and one that takes it
// in as new would store a write's data twice or move a read on by a block.
// Only a read's first request is the same whether it is taken once or
// twice: it starts the read over. Every other frame fails instead, and the
// caller makes its transfer again from the start.
bool safeToRepeatAfterCorruptReplies(const KVPEngine* e)
{
    return e->requestMode.load(std::memory_order_relaxed)
        && (e->tx[KVP_OFF_FLAGS] & KVP_FLAG_FIRST) != 0;
}

void corruptHeaderStep(KVPEngine* e)
{
    if (--e->corruptCountdown != 0)
        return;
    e->corruptCountdown = KVP_CORRUPT_TOLERANCE;
    if (e->retryBudget > 0 && safeToRepeatAfterCorruptReplies(e)) {
        --e->retryBudget;
        scheduleRepetition(e);
    } else {
        reportFailure(e, e->tx[KVP_OFF_COMMAND], u16At(e->tx + KVP_OFF_PARAMETER),
                      KVP_STATUS_CORRUPT);
    }
}

void processFrame(KVPEngine* e)
{
    const std::uint8_t* r = e->rx;
    const std::uint8_t type = r[KVP_OFF_TYPE];
    const std::uint8_t command = r[KVP_OFF_COMMAND];
    const std::uint16_t parameter = u16At(r + KVP_OFF_PARAMETER);
    const std::uint16_t length = u16At(r + KVP_OFF_LENGTH);
    const bool requestMode = e->requestMode.load(std::memory_order_relaxed);

    if (type == KVP_TYPE_STATUS) {
        if (length == 0) {
            // No status byte: the position after the header belongs to no
            // frame of ours, so the reply cannot count as an answer.
            reportFailure(e, command, parameter, KVP_STATUS_MALFORMED);
            return;
        }
        const std::uint8_t status = r[KVP_HEADER_SIZE];
        if (status == KVP_STATUS_OK) {
            e->retryBudget = 1;
            if (requestMode)
                reportFailure(e, command, parameter, KVP_STATUS_MALFORMED);
            else if (e->acknowledgeHook)
                e->acknowledgeHook(e, command, parameter, KVP_STATUS_OK);
        } else if (status >= 7 && status <= 10 && e->retryBudget > 0) {
            --e->retryBudget;
            scheduleRepetition(e);
        } else {
            reportFailure(e, command, parameter, status);
        }
    } else if (type == KVP_TYPE_DATA && requestMode) {
        // A delivered block answers the request as a status 0 answers a
        // write: the next request may be repeated once again. Otherwise a
        // long read would fail on the second busy reply anywhere in it.
        e->retryBudget = 1;
        if (e->dataHook)
            e->dataHook(e, command, parameter, length, r + KVP_HEADER_SIZE,
                        (r[KVP_OFF_FLAGS] & KVP_FLAG_FIRST) != 0,
                        (r[KVP_OFF_FLAGS] & KVP_FLAG_LAST) != 0, KVP_STATUS_OK);
    }
}

} // namespace

void kvpInitEngine(KVPEngine* e)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    e->state = KVPReceiveState::WaitStart;
    e->headerSum = 0;
    e->trailerSum = 0;
    e->bytesLeft = 0;
    e->rxPos = 0;
    e->frameReceived.store(false, std::memory_order_release);
    e->corruptHeaders.store(0, std::memory_order_relaxed);
    e->requestMode.store(false, std::memory_order_relaxed);
    e->pending.store(false, std::memory_order_release);
    e->sequence.store(0, std::memory_order_relaxed);
    e->command.store(0, std::memory_order_relaxed);
    e->retryBudget = 1;
    e->corruptCountdown = KVP_CORRUPT_TOLERANCE;
}

void kvpSetHooks(KVPEngine* e, KVPTransmitHook transmit, KVPAcknowledgeHook acknowledge,
                 KVPDataHook data, void* owner)
{
    e->transmitHook = transmit;
    e->acknowledgeHook = acknowledge;
    e->dataHook = data;
    e->owner = owner;
}

bool kvpBuildWriteFrame(KVPEngine* e, std::uint8_t command, std::uint16_t parameter,
                        const std::uint8_t* payload, std::size_t length, bool first, bool last)
{
    if (length > KVP_MAX_PAYLOAD || (length && !payload))
        return false;
    e->requestMode.store(false, std::memory_order_relaxed);
    const std::uint8_t flags =
        static_cast<std::uint8_t>((first ? KVP_FLAG_FIRST : 0) | (last ? KVP_FLAG_LAST : 0));
    writeHeader(e, flags, KVP_TYPE_WRITE, command, parameter, static_cast<std::uint16_t>(length),
                nextSequence(e, first));
    if (length)
        std::memcpy(e->tx + KVP_HEADER_SIZE, payload, length);
    e->tx[KVP_HEADER_SIZE + length] = sum(payload, length, e->tx[KVP_OFF_HEADER_SUM]);
    e->tx[KVP_HEADER_SIZE + length + 1] = KVP_END;
    e->pending.store(true, std::memory_order_release);
    return true;
}

void kvpBuildReadRequest(KVPEngine* e, std::uint8_t command, std::uint16_t parameter, bool first)
{
    e->requestMode.store(true, std::memory_order_relaxed);
    const std::uint8_t flags = first ? (KVP_FLAG_FIRST | KVP_FLAG_LAST) : KVP_FLAG_LAST;
    writeHeader(e, flags, KVP_TYPE_READ, command, parameter, 0, nextSequence(e, first));
    e->tx[KVP_HEADER_SIZE] = e->tx[KVP_OFF_HEADER_SUM];
    e->tx[KVP_HEADER_SIZE + 1] = KVP_END;
    e->pending.store(true, std::memory_order_release);
}

void kvpDiscardPending(KVPEngine* e)
{
    e->pending.store(false, std::memory_order_release);
}

void kvpReceiveByte(KVPEngine* e, std::uint8_t byte)
{
    if (e->frameReceived.load(std::memory_order_acquire))
        return; // the processing side still owns the buffer
    switch (e->state) {
    case KVPReceiveState::WaitStart:
        if (byte != KVP_START)
            return;
        e->rx[0] = byte;
        e->rxPos = 1;
        e->headerSum = byte;
        e->bytesLeft = KVP_HEADER_SIZE - 1;
        e->state = KVPReceiveState::Header;
        return;
    case KVPReceiveState::Header: {
        e->rx[e->rxPos++] = byte;
        if (--e->bytesLeft != 0) {
            e->headerSum = static_cast<std::uint8_t>(e->headerSum + byte);
            return;
        }
        // The eleventh byte is the checksum over the ten before it.
        const std::uint8_t* r = e->rx;
        const std::uint8_t address = r[KVP_OFF_ADDRESS];
        const std::uint16_t length = u16At(r + KVP_OFF_LENGTH);
        const std::uint8_t type = r[KVP_OFF_TYPE];
        e->state = KVPReceiveState::WaitStart;
        if (address != 0x00 && address != 0xFF)
            return; // another station's traffic
        // The checksum comes before the command: a reply whose command byte
        // was damaged on the line is a corrupt header that counts toward the
        // repeat, not a stranger's answer to be dropped until the time-out.
        if (r[KVP_OFF_HEADER_SUM] != e->headerSum) {
            e->corruptHeaders.fetch_add(1, std::memory_order_release);
            return;
        }
        if (r[KVP_OFF_COMMAND] != e->command.load(std::memory_order_relaxed))
            return; // a late answer to an earlier request, not ours
        if (length > KVP_MAX_PAYLOAD || (type != KVP_TYPE_STATUS && type != KVP_TYPE_DATA)
            || r[KVP_OFF_SEQUENCE] != e->sequence.load(std::memory_order_relaxed)) {
            e->corruptHeaders.fetch_add(1, std::memory_order_release);
            return;
        }
        e->trailerSum = e->headerSum;
        if (length) {
            e->state = KVPReceiveState::Payload;
            e->bytesLeft = length;
        } else {
            e->state = KVPReceiveState::Trailer;
            e->bytesLeft = 2;
        }
        return;
    }
    case KVPReceiveState::Payload:
        e->rx[e->rxPos++] = byte;
        e->trailerSum = static_cast<std::uint8_t>(e->trailerSum + byte);
        if (--e->bytesLeft == 0) {
            e->state = KVPReceiveState::Trailer;
            e->bytesLeft = 2;
        }
        return;
    case KVPReceiveState::Trailer:
        e->rx[e->rxPos++] = byte;
        if (--e->bytesLeft != 0)
            return;
        e->state = KVPReceiveState::WaitStart;
        if (byte == KVP_END && e->rx[e->rxPos - 2] == e->trailerSum)
            e->frameReceived.store(true, std::memory_order_release);
        return;
    }
}

void kvpProcess(KVPEngine* e)
{
    // Read the flag before the corrupt count: every corrupt header the
    // receiver saw before completing this frame is then accounted first.
    const bool received = e->frameReceived.load(std::memory_order_acquire);
    for (std::uint32_t n = e->corruptHeaders.exchange(0, std::memory_order_acquire); n; --n)
        corruptHeaderStep(e);
    if (received) {
        e->corruptCountdown = KVP_CORRUPT_TOLERANCE;
        processFrame(e);
        // Hand the buffer back only after the payload was consumed.
        e->frameReceived.store(false, std::memory_order_release);
    }
    if (e->pending.load(std::memory_order_acquire)) {
        e->pending.store(false, std::memory_order_relaxed);
        if (e->transmitHook)
            e->transmitHook(e, static_cast<unsigned short>(kvpTransmitLength(e)), e->tx);
    }
}

std::size_t kvpTransmitLength(const KVPEngine* e)
{
    return KVP_FRAME_OVERHEAD + u16At(e->tx + KVP_OFF_LENGTH);
}
