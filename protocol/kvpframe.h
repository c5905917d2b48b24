// The recorder's frame engine: frame builder, byte-wise receiver and reply
// processing with repetitions. A plain state machine without threads of its
// own; the owner drives it from three sides:
//   - the caller's thread builds frames (kvpBuildWriteFrame, kvpBuildReadRequest),
//   - the link's reader thread feeds received bytes (kvpReceiveByte),
//   - the master thread processes replies and transmits (kvpProcess).
// The receive buffer belongs to the reader until frameReceived is set and to
// the processing side until it is cleared again (acquire/release). Building
// and processing must not overlap (the owner serialises them), and
// kvpInitEngine must not overlap with any of the three.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t KVP_BUFFER_SIZE = 40400;
inline constexpr std::size_t KVP_FRAME_OVERHEAD = 14; // 12-byte header, checksum, end byte
inline constexpr std::size_t KVP_MAX_PAYLOAD = KVP_BUFFER_SIZE - KVP_FRAME_OVERHEAD; // 40386

inline constexpr std::uint8_t KVP_START = 0xAA;
inline constexpr std::uint8_t KVP_END = 0xCC;
inline constexpr std::uint8_t KVP_ADDRESS_MASTER = 0xFF;

inline constexpr std::uint8_t KVP_FLAG_FIRST = 0x08;
inline constexpr std::uint8_t KVP_FLAG_LAST = 0x04;
inline constexpr std::uint8_t KVP_FLAG_REPEATED = 0x01;

inline constexpr std::uint8_t KVP_TYPE_WRITE = 0;
inline constexpr std::uint8_t KVP_TYPE_STATUS = 1;
inline constexpr std::uint8_t KVP_TYPE_READ = 2;
inline constexpr std::uint8_t KVP_TYPE_DATA = 3;

inline constexpr std::uint8_t KVP_STATUS_OK = 0;
// The engine's own status when it gives up after corrupt replies.
inline constexpr std::uint8_t KVP_STATUS_CORRUPT = 11;
// The engine's own status for a status reply that cannot answer the request:
// one without a status byte, or a success status to a read request (which
// would deliver no data and leave the reader with a stale count).
inline constexpr std::uint8_t KVP_STATUS_MALFORMED = 0xFF;

inline constexpr std::uint8_t KVP_CORRUPT_TOLERANCE = 50;

// Header offsets.
enum : std::size_t {
    KVP_OFF_START = 0,
    KVP_OFF_RESERVED = 1,
    KVP_OFF_ADDRESS = 2,
    KVP_OFF_FLAGS = 3,
    KVP_OFF_TYPE = 4,
    KVP_OFF_COMMAND = 5,
    KVP_OFF_PARAMETER = 6,
    KVP_OFF_LENGTH = 8,
    KVP_OFF_SEQUENCE = 10,
    KVP_OFF_HEADER_SUM = 11,
    KVP_HEADER_SIZE = 12,
};

struct KVPEngine;

using KVPTransmitHook = void (*)(KVPEngine* engine, unsigned short length,
                                 const unsigned char* bytes);
using KVPAcknowledgeHook = void (*)(KVPEngine* engine, unsigned char command,
                                    unsigned short parameter, unsigned char status);
using KVPDataHook = void (*)(KVPEngine* engine, unsigned char command, unsigned short parameter,
                             unsigned short length, const unsigned char* payload, bool first,
                             bool last, unsigned char status);

enum class KVPReceiveState : std::uint8_t { WaitStart, Header, Payload, Trailer };

struct KVPEngine {
    // Receiver side (reader thread).
    std::uint8_t rx[KVP_BUFFER_SIZE];
    KVPReceiveState state = KVPReceiveState::WaitStart;
    std::uint8_t headerSum = 0;
    std::uint8_t trailerSum = 0;
    std::uint16_t bytesLeft = 0;
    std::uint16_t rxPos = 0;
    std::atomic<bool> frameReceived {false};
    // Corrupt headers seen by the receiver and not yet accounted for by the
    // processing side, which owns the countdown and the repetition decision
    // (both touch the transmit buffer and the hooks).
    std::atomic<std::uint32_t> corruptHeaders {0};

    // Builder / processing side.
    std::uint8_t tx[KVP_BUFFER_SIZE];
    std::atomic<bool> requestMode {false};
    std::atomic<bool> pending {false};
    // Read by the receiver to match replies to the frame last built.
    std::atomic<std::uint8_t> sequence {0};
    std::atomic<std::uint8_t> command {0};
    std::int8_t retryBudget = 1;
    std::uint8_t corruptCountdown = KVP_CORRUPT_TOLERANCE;

    KVPTransmitHook transmitHook = nullptr;
    KVPAcknowledgeHook acknowledgeHook = nullptr;
    KVPDataHook dataHook = nullptr;
    void* owner = nullptr; // back pointer for the hooks
};

// Resets receiver and builder state; hooks and owner are left untouched.
void kvpInitEngine(KVPEngine* engine);
void kvpSetHooks(KVPEngine* engine, KVPTransmitHook transmit, KVPAcknowledgeHook acknowledge,
                 KVPDataHook data, void* owner);

// Builds a write-data frame; returns false (building nothing) when the
// payload does not fit the buffer.
bool kvpBuildWriteFrame(KVPEngine* engine, std::uint8_t command, std::uint16_t parameter,
                        const std::uint8_t* payload, std::size_t length, bool first, bool last);
void kvpBuildReadRequest(KVPEngine* engine, std::uint8_t command, std::uint16_t parameter,
                         bool first);
// Drops a frame that was built but not transmitted yet.
void kvpDiscardPending(KVPEngine* engine);

void kvpReceiveByte(KVPEngine* engine, std::uint8_t byte);
// One processing pass: accounts for corrupt headers, handles a received frame
// and transmits a pending frame.
void kvpProcess(KVPEngine* engine);

// Size of the frame in the transmit buffer.
std::size_t kvpTransmitLength(const KVPEngine* engine);
