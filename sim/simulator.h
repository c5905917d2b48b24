// The simulated MZT-500: the recorder's side of the frame protocol, its file
// store, its timing on the wire and faults injected on purpose.
//
// A process-wide Bus holds the simulated devices. The D2XX-shaped layer lists
// them when MZT500_SIMULATOR is set or a test installed devices, and opens a
// Connection onto one for every FT_Open. Tests configure devices through
// DeviceConfig, change faults and state at run time through Recorder, and
// inspect the frames the recorder took in and what it stores.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// One byte at 250000 baud with 8 data bits, 2 stop bits, no parity: 11 bits.
constexpr std::chrono::microseconds kByteTime {44};
// With wire timing the bridge hands received bytes to the host in USB
// packets of this many bytes, or fewer at the end of a reply.
constexpr std::size_t kUsbPacketBytes = 62;
constexpr std::uint32_t kBaudRate = 250000;
constexpr std::uint16_t kSettingsFileNumber = 120;
constexpr std::size_t kMaxPayload = 40386;
constexpr std::size_t kRecordSize = 16;
constexpr std::size_t kInfoRecordSize = 50;
constexpr int kMaxSequences = 64;

// Status values the recorder answers with. 7 to 10 ask the master to repeat
// its frame; the others are errors.
enum Status : std::uint8_t {
    StatusOk = 0,
    StatusUnknownCommand = 1, // command or direction not supported
    StatusSequenceError = 2,  // follow-up frame without a transfer, or out of order
    StatusFrameTooLong = 3,   // larger than the recorder's maximum frame size
    StatusNoSuchFile = 4,     // file number invalid or not stored
    StatusRefused = 5,        // bad data or wrong state for the command
    StatusChecksumError = 6,  // firmware sections do not match the header's checksum
    StatusNotInTransferMode = 12,
};

enum class Kind { Recorder, Dongle, Foreign };
enum class Timing { Instant, Wire };
// What the recorder does with a frame it receives again after its reply
// went astray. Recognised: it answers again and takes nothing twice.
// TakenAsNew: it executes every frame it receives, whatever the frame's
// sequence number or repeat flag, so a repeated write frame stores its data
// twice and a repeated read request is answered with the next block.
enum class RepeatedFrames { Recognised, TakenAsNew };
inline constexpr RepeatedFrames kRepeatedFrameBehaviours[] = {RepeatedFrames::Recognised,
                                                              RepeatedFrames::TakenAsNew};
// Its name in configuration files: "recognise" or "takeAsNew".
const char* nameOf(RepeatedFrames behaviour);
std::optional<RepeatedFrames> repeatedFramesNamed(const QString& name);

// Faults injected on purpose. Frame numbers count the request frames the
// recorder takes in (repetitions included) since the faults were set,
// starting at 0.
struct Faults {
    std::uint64_t seed = 1;
    // Per reply byte, drawn from a generator seeded with `seed`.
    double corruptProbability = 0.0;
    double dropProbability = 0.0;
    // The reply to this frame gets the byte at `faultOffset` flipped / left out,
    // and so do the replies to the `faultCount` - 1 frames after it.
    int corruptAtFrame = -1;
    int dropAtFrame = -1;
    int faultOffset = 11; // the header checksum by default
    int faultCount = 1;
    // Frames statusAtFrame .. statusAtFrame + statusCount - 1 are answered with
    // `status` instead of being processed; so are the first statusCount frames
    // of command statusCommand.
    int statusAtFrame = -1;
    int statusCommand = -1;
    int statusCount = 1;
    std::uint8_t status = 7;
    // A damaged memory area: every size request (command 9) for this file
    // number is answered with `status`, so the file can never be read while
    // the others can.
    int statusFile = -1;
    // No reply at all to this command: silentCount times, or always when -1.
    int silentCommand = -1;
    int silentCount = -1;
    // The device goes away after handing out this many reply bytes (counted
    // from when the faults were set), or when a frame of this command arrives.
    long long vanishAfterBytes = -1;
    int vanishAtCommand = -1;
    // Non-zero: a started deletion fails with this file-system error code.
    std::uint16_t deletionError = 0;
};

struct DeviceConfig {
    Kind kind = Kind::Recorder;
    std::string description = "KORVANT KVP-DEV";
    std::string serial;
    // A device that does not answer takes bytes in and never replies (a
    // foreign FTDI device, a recorder that is switched off).
    bool answering = true;
    std::string model = "MZT-500";
    std::uint16_t hardwareVersion = 0x0102;
    std::uint16_t softwareVersion = 0x0104;
    std::uint16_t maxFrameSize = 2048;
    bool transferMode = false;
    bool refuseTransferMode = false;  // the recorder is busy: entering fails
    bool requireTransferMode = false; // file commands fail outside transfer mode
    std::uint32_t pollBudget = 100;
    int deleteDurationMs = 0; // time for deletion progress to reach 255
    Timing timing = Timing::Instant;
    int turnaroundUs = 0; // delay between a request and its reply
    std::uint8_t replyAddress = 0x00;
    RepeatedFrames repeatedFrames = RepeatedFrames::Recognised;
    // By file number (1..64 sequences, 120 settings); each starts with its
    // 16-byte content record.
    std::map<std::uint16_t, QByteArray> files;
    Faults faults;
    // Non-empty: the device is plugged in only while this path exists (a
    // dangling symbolic link counts as absent), so a test or a script plugs
    // it by creating the path and unplugs it by removing it.
    std::string presentWhile;

    static DeviceConfig recorder();
    static DeviceConfig dongle();
    static DeviceConfig foreign();
};

// The demo recorder: settings and a dozen sequences of 16 bytes to over 1 MiB.
DeviceConfig demoRecorder();
std::map<std::uint16_t, QByteArray> demoFiles();

// A recorder file: the 16-byte content record (id, type, memory size,
// duration) followed by totalSize - 16 bytes of a pattern fixed by id and size.
// The memory size is the file's footprint in 1 KiB blocks of 1008 usable bytes.
QByteArray makeFile(std::uint32_t id, std::uint32_t type, std::size_t totalSize,
                    std::uint32_t durationMs);
std::uint32_t memorySizeOf(std::size_t length);
// File number <-> id: the settings (id 0) are file 120.
std::uint16_t fileNumberOf(std::uint32_t id);
bool isValidFileNumber(std::uint16_t number);

// Parses a JSON configuration (see sim/README.md). On error returns nothing
// and says why in *error.
std::optional<std::vector<DeviceConfig>> parseConfig(const QByteArray& json, QString* error);
// "demo" or a path to a JSON file.
std::optional<std::vector<DeviceConfig>> loadConfig(const QString& selection, QString* error);

// A frame as the recorder took it in or sent it.
struct Frame {
    std::uint8_t address = 0;
    std::uint8_t flags = 0;
    std::uint8_t type = 0;
    std::uint8_t command = 0;
    std::uint16_t parameter = 0;
    std::uint8_t sequence = 0;
    QByteArray payload;
};

// The frame whose 12 header bytes and payload of length bytes these are;
// the checksums and marks around them are the caller's to check.
Frame frameFrom(const std::uint8_t* header, const std::uint8_t* payload, std::size_t length);

// The little-endian 32-bit number at byte at of bytes.
std::uint32_t u32At(const QByteArray& bytes, qsizetype at = 0);

// What a firmware update delivered: the header block and the sections as
// received, and the outcome of the checksum check.
struct FirmwareReceipt {
    QByteArray header;
    std::vector<QByteArray> sections;
    int sectionCount = 0;
    std::array<std::uint32_t, 8> sectionSizes {};
    std::uint32_t expectedChecksum = 0;
    std::uint32_t computedChecksum = 0;
    bool complete = false;
    bool checksumOk = false;
};

class Recorder;

// An open port onto a simulated device, with D2XX semantics: read() waits
// until all requested bytes arrived or the read time-out expired; everything
// fails once the device has gone. read() and write() may run on two threads.
class Connection {
public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Empties the receive queue and restarts the recorder's frame receiver.
    bool reset();
    bool setBaudRate(std::uint32_t baud);
    bool setDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits, std::uint8_t parity);
    // 0 means wait without limit, as with D2XX.
    void setReadTimeout(std::uint32_t ms);
    bool write(const std::uint8_t* data, std::size_t length, std::size_t* written);
    bool read(std::uint8_t* data, std::size_t length, std::size_t* got);
    // Bytes that have arrived and wait to be read; false once the device has gone.
    bool status(std::uint32_t* rxQueued);
    // Blocks until bytes wait to be read, woken() is true or the deadline
    // passes; *readable tells whether bytes wait. woken() is evaluated under
    // the device's lock: whoever makes it true calls interruptWait() after.
    bool waitForInput(Clock::time_point deadline, const std::function<bool()>& woken,
                      bool* readable);
    void interruptWait();
    bool alive() const;
    Recorder& recorder() const { return *m_recorder; }

private:
    friend class Recorder;
    Connection(std::shared_ptr<Recorder> recorder, std::uint64_t id);
    std::shared_ptr<Recorder> m_recorder;
    std::uint64_t m_id;
};

class Recorder : public std::enable_shared_from_this<Recorder> {
public:
    explicit Recorder(DeviceConfig config);
    ~Recorder();

    // Unique for the life of the process; with the generation (raised each
    // time the device goes away) it identifies the device in the D2XX list.
    std::uint64_t uid() const { return m_uid; }
    int generation() const;
    bool present() const;
    std::string description() const;
    std::string serial() const;
    Kind kind() const;
    std::string presentWhile() const;

    // Opens a connection; fails when the device is gone or already open.
    std::unique_ptr<Connection> open(std::string* error);
    // Unplugs the device: open connections fail from now on, it leaves the
    // list. reappear() plugs it in again with its files and state.
    void vanish();
    void reappear();

    void setFaults(const Faults& faults);
    void clearFaults();
    // Called with every request frame the recorder takes in, before it is
    // handled and with the recorder's lock held, so it must not call back
    // into this recorder. For tests that act at a chosen point of a sequence.
    void setRequestObserver(std::function<void(const Frame&)> observer);
    Faults faults() const;
    void setAnswering(bool answering);
    void setRefuseTransferMode(bool refuse);
    void setRequireTransferMode(bool require);
    void setTransferMode(bool on);
    bool inTransferMode() const;
    void setPollBudget(std::uint32_t budget);
    void setDeleteDuration(int ms);
    void setTiming(Timing timing, int turnaroundUs);
    void setRepeatedFrames(RepeatedFrames behaviour);
    void setMaxFrameSize(std::uint16_t size);
    void setVersions(std::uint16_t hardware, std::uint16_t software);
    void setModel(const std::string& model);

    std::map<std::uint16_t, QByteArray> files() const;
    std::optional<QByteArray> file(std::uint16_t number) const;
    void putFile(std::uint16_t number, const QByteArray& content);
    void removeFile(std::uint16_t number);

    // Frames taken in / replies sent (before wire faults), oldest first.
    std::vector<Frame> receivedFrames() const;
    std::vector<Frame> sentFrames() const;
    // Every byte the device took from the host since the last clearLogs().
    QByteArray receivedBytes() const;
    void clearLogs();
    FirmwareReceipt firmware() const;

private:
    friend class Connection;
    struct Out {
        std::uint8_t byte;
        Clock::time_point at;
    };
    enum class RxState { WaitStart, Header, Payload, Trailer };

    bool aliveLocked(std::uint64_t connection) const;
    bool pluggedLocked() const { return m_present && m_pathPresent; }
    void followPresencePathLocked();
    void dropConnectionLocked();
    void takeInArrivedLocked(Clock::time_point now);
    // Brings the device up to now (its presence path, the bytes that have
    // arrived) for a call on connection: the time it did so, or nothing
    // when that connection is gone.
    std::optional<Clock::time_point> catchUpLocked(std::uint64_t connection);
    void syncLocked() const;
    // What read() returns, read under the lock once the state is in sync.
    template <typename Read> auto readSynced(Read read) const
    {
        std::lock_guard lock(m_mutex);
        syncLocked();
        return read();
    }
    void sleepLocked(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> deadline);
    void vanishLocked();
    void resetParserLocked();
    void feedLocked(std::uint8_t byte, Clock::time_point at);
    void handleFrameLocked(const Frame& frame, Clock::time_point at);
    void replyStatusLocked(const Frame& request, std::uint8_t status, Clock::time_point at);
    void rejectLocked(const Frame& request, std::uint8_t status, Clock::time_point at);
    void replyDataLocked(const Frame& request, std::uint8_t flags, const QByteArray& payload,
                         Clock::time_point at);
    void sendLocked(const Frame& reply, Clock::time_point at);
    void resendLastLocked(Clock::time_point at);
    void handleWriteLocked(const Frame& frame, Clock::time_point at);
    void handleReadLocked(const Frame& frame, Clock::time_point at);
    std::uint8_t executeWriteLocked(std::uint8_t command, std::uint16_t parameter,
                                    const QByteArray& data, Clock::time_point at);
    std::uint8_t executeReadLocked(std::uint8_t command, std::uint16_t parameter,
                                   Clock::time_point at, QByteArray* reply);
    void advanceDeletionLocked(Clock::time_point at);
    std::size_t replyChunkLocked() const;
    bool lineMatchesLocked() const;

    const std::uint64_t m_uid;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    DeviceConfig m_config;
    bool m_present = true;     // unplugged by vanish(), plugged by reappear()
    bool m_pathPresent = true; // the presentWhile path exists (or none is set)
    int m_generation = 0;

    // The open connection and its line.
    std::uint64_t m_nextConnection = 1;
    std::uint64_t m_connection = 0;
    std::uint32_t m_baud = 9600;
    std::uint8_t m_bits = 8, m_stopBits = 0, m_parity = 0;
    std::uint32_t m_readTimeoutMs = 0;
    bool m_lineWarned = false;
    std::deque<Out> m_in;  // host -> recorder, with arrival times (wire timing)
    std::deque<Out> m_out; // recorder -> host, with the times they can be read
    Clock::time_point m_txFree {};
    Clock::time_point m_rxFree {};

    // Frame receiver.
    RxState m_rx = RxState::WaitStart;
    std::vector<std::uint8_t> m_rxBuf;
    std::size_t m_rxLeft = 0;
    std::uint8_t m_headerSum = 0, m_trailerSum = 0;
    Clock::time_point m_lastByteAt {};

    // Transfer in progress and the reply to repeat for a repeated frame.
    bool m_haveLast = false;
    std::uint8_t m_lastType = 0, m_lastCommand = 0, m_lastSeq = 0;
    Frame m_lastReply;
    bool m_writeActive = false;
    QByteArray m_writeBuf;
    bool m_readActive = false;
    QByteArray m_readBuf;
    std::size_t m_readOffset = 0;

    // Device state.
    bool m_transferMode = false;
    int m_readSelected = -1;
    int m_writeSelected = -1;
    int m_deleteSelected = -1;
    int m_deleting = -1;
    bool m_deletionFinished = false;
    std::uint16_t m_deletionStatus = 0;
    Clock::time_point m_deleteStart {};
    FirmwareReceipt m_firmware;
    int m_nextSection = 0;
    std::uint32_t m_firmwareSum = 0;

    // Fault bookkeeping.
    std::mt19937_64 m_rng;
    long long m_framesTaken = 0;
    int m_statusCommandUsed = 0;
    int m_silentUsed = 0;
    long long m_bytesHandedOut = 0;

    std::function<void(const Frame&)> m_requestObserver;
    std::vector<Frame> m_received;
    std::vector<Frame> m_sent;
    QByteArray m_receivedBytes;
};

// The simulated devices of this process.
class Bus {
public:
    static Bus& instance();

    // True when a test installed devices or MZT500_SIMULATOR is set (its
    // configuration is loaded on first use).
    bool active();
    // Replaces the devices; the bus is active from now on.
    std::vector<std::shared_ptr<Recorder>> install(const std::vector<DeviceConfig>& devices);
    std::shared_ptr<Recorder> add(const DeviceConfig& device);
    // Drops the installed devices; the bus follows MZT500_SIMULATOR again.
    void uninstall();
    std::vector<std::shared_ptr<Recorder>> devices();
    std::shared_ptr<Recorder> device(std::size_t index);
    std::shared_ptr<Recorder> find(std::uint64_t uid);

    // Told whenever a device is added, installed, dropped, unplugged or
    // plugged in again through this API, from whichever thread did it and
    // possibly with a device's lock held: a listener only takes note (posts
    // an event) and never calls back into the simulator. Devices that follow
    // a presentWhile path are not announced here; whoever listens watches
    // those paths (see presenceWatchPaths()).
    using PresenceListener = std::function<void()>;
    int addPresenceListener(PresenceListener listener);
    void removePresenceListener(int id);
    void announcePresenceChange();
    // The presentWhile paths of the devices.
    std::vector<std::string> presenceWatchPaths();

private:
    Bus() = default;
    void loadEnvironmentLocked();
    std::mutex m_mutex;
    bool m_installed = false;
    bool m_envLoaded = false;
    std::vector<std::shared_ptr<Recorder>> m_devices;
    std::mutex m_listenerMutex; // after a device's lock, never before
    std::map<int, PresenceListener> m_listeners;
    int m_nextListener = 1;
};

} // namespace sim
