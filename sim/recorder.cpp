// The recorder's side of the frame protocol: a byte-wise frame receiver, the
// command set, the file store, and the wire between it and the host.
#include "simulator.h"

#include <QLoggingCategory>

#include <algorithm>
#include <atomic>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcSim, "mzt.sim")

namespace sim {

namespace {

constexpr std::uint8_t kStart = 0xAA;
constexpr std::uint8_t kEnd = 0xCC;
constexpr std::uint8_t kFlagFirst = 0x08;
constexpr std::uint8_t kFlagLast = 0x04;
constexpr std::uint8_t kTypeWrite = 0;
constexpr std::uint8_t kTypeStatus = 1;
constexpr std::uint8_t kTypeRead = 2;
constexpr std::uint8_t kTypeData = 3;
// A gap this long inside a frame makes the receiver start over, so a frame
// cut short (a port closed mid-frame) does not swallow the next one.
constexpr auto kInterByteGap = std::chrono::milliseconds(100);
constexpr std::size_t kMinFrameSize = 80;
constexpr std::uint8_t kCmdFileSize = 9;

std::atomic<std::uint64_t> g_nextUid {1};

// stat() follows a symbolic link, so a link whose pseudo-terminal has gone
// counts as absent, as removing the link does.
bool pathExists(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0;
}

void putU16(QByteArray& b, std::uint16_t v)
{
    b.append(static_cast<char>(v & 0xFF));
    b.append(static_cast<char>(v >> 8));
}

void putU32(QByteArray& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

QByteArray u32Reply(std::uint32_t v)
{
    QByteArray b;
    putU32(b, v);
    return b;
}

QByteArray u16Reply(std::uint16_t v)
{
    QByteArray b;
    putU16(b, v);
    return b;
}

QByteArray encode(const Frame& f)
{
    QByteArray b;
    b.reserve(14 + f.payload.size());
    b.append(static_cast<char>(kStart));
    b.append('\0');
    b.append(static_cast<char>(f.address));
    b.append(static_cast<char>(f.flags));
    b.append(static_cast<char>(f.type));
    b.append(static_cast<char>(f.command));
    putU16(b, f.parameter);
    putU16(b, static_cast<std::uint16_t>(f.payload.size()));
    b.append(static_cast<char>(f.sequence));
    std::uint8_t sum = 0;
    for (char c : b)
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    b.append(static_cast<char>(sum));
    b.append(f.payload);
    for (char c : f.payload)
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    b.append(static_cast<char>(sum));
    b.append(static_cast<char>(kEnd));
    return b;
}

QByteArray recordOf(const QByteArray& content)
{
    QByteArray r = content.left(static_cast<qsizetype>(kRecordSize));
    r.resize(static_cast<qsizetype>(kRecordSize), '\0');
    return r;
}

bool isFileCommand(std::uint8_t command)
{
    return command >= 9 && command <= 17;
}

} // namespace

// ---------------------------------------------------------------- Connection

Connection::Connection(std::shared_ptr<Recorder> recorder, std::uint64_t id)
    : m_recorder(std::move(recorder))
    , m_id(id)
{
}

Connection::~Connection()
{
    Recorder& r = *m_recorder;
    std::lock_guard lock(r.m_mutex);
    if (r.m_connection == m_id) {
        r.m_connection = 0;
        r.m_out.clear();
        r.m_in.clear();
        r.m_cv.notify_all();
    }
}

bool Connection::alive() const
{
    std::lock_guard lock(m_recorder->m_mutex);
    return m_recorder->aliveLocked(m_id);
}

bool Connection::reset()
{
    Recorder& r = *m_recorder;
    std::lock_guard lock(r.m_mutex);
    r.followPresencePathLocked();
    if (!r.aliveLocked(m_id))
        return false;
    r.m_out.clear();
    r.m_in.clear();
    r.resetParserLocked();
    return true;
}

bool Connection::setBaudRate(std::uint32_t baud)
{
    Recorder& r = *m_recorder;
    std::lock_guard lock(r.m_mutex);
    r.followPresencePathLocked();
    if (!r.aliveLocked(m_id) || baud == 0)
        return false;
    r.m_baud = baud;
    return true;
}

bool Connection::setDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits,
                                        std::uint8_t parity)
{
    Recorder& r = *m_recorder;
    std::lock_guard lock(r.m_mutex);
    r.followPresencePathLocked();
    if (!r.aliveLocked(m_id))
        return false;
    r.m_bits = bits;
    r.m_stopBits = stopBits;
    r.m_parity = parity;
    return true;
}

void Connection::setReadTimeout(std::uint32_t ms)
{
    std::lock_guard lock(m_recorder->m_mutex);
    m_recorder->m_readTimeoutMs = ms;
}

bool Connection::write(const std::uint8_t* data, std::size_t length, std::size_t* written)
{
    Recorder& r = *m_recorder;
    *written = 0;
    std::lock_guard lock(r.m_mutex);
    r.followPresencePathLocked();
    if (!r.aliveLocked(m_id))
        return false;
    const Clock::time_point now = Clock::now();
    r.takeInArrivedLocked(now);
    if (r.m_config.timing == Timing::Wire) {
        // The bytes are on their way; the recorder takes each in when it
        // would have arrived (see takeInArrivedLocked).
        Clock::time_point at = std::max(now, r.m_txFree);
        for (std::size_t i = 0; i < length; ++i) {
            at += kByteTime;
            r.m_in.push_back({data[i], at});
        }
        r.m_txFree = at;
    } else {
        for (std::size_t i = 0; i < length && r.aliveLocked(m_id); ++i) {
            r.m_receivedBytes.append(static_cast<char>(data[i]));
            r.feedLocked(data[i], now);
        }
    }
    *written = length;
    r.m_cv.notify_all();
    return true;
}

std::optional<Clock::time_point> Recorder::catchUpLocked(std::uint64_t connection)
{
    followPresencePathLocked();
    const Clock::time_point now = Clock::now();
    takeInArrivedLocked(now);
    if (!aliveLocked(connection))
        return std::nullopt;
    return now;
}

bool Connection::read(std::uint8_t* data, std::size_t length, std::size_t* got)
{
    Recorder& r = *m_recorder;
    *got = 0;
    std::unique_lock lock(r.m_mutex);
    const bool unlimited = r.m_readTimeoutMs == 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(r.m_readTimeoutMs);
    for (;;) {
        const std::optional<Clock::time_point> now = r.catchUpLocked(m_id);
        if (!now)
            return false;
        while (*got < length && !r.m_out.empty() && r.m_out.front().at <= *now) {
            data[(*got)++] = r.m_out.front().byte;
            r.m_out.pop_front();
            ++r.m_bytesHandedOut;
            const long long limit = r.m_config.faults.vanishAfterBytes;
            if (limit >= 0 && r.m_bytesHandedOut >= limit) {
                qCDebug(lcSim) << "device vanishes after" << r.m_bytesHandedOut << "bytes";
                r.vanishLocked();
                return true; // hand out what arrived; the next call fails
            }
        }
        if (*got == length)
            return true;
        if (!unlimited && *now >= deadline)
            return true;
        r.sleepLocked(lock, unlimited ? std::nullopt : std::optional(deadline));
    }
}

bool Connection::waitForInput(Clock::time_point deadline, const std::function<bool()>& woken,
                              bool* readable)
{
    Recorder& r = *m_recorder;
    *readable = false;
    std::unique_lock lock(r.m_mutex);
    for (;;) {
        const std::optional<Clock::time_point> now = r.catchUpLocked(m_id);
        if (!now)
            return false;
        if (!r.m_out.empty() && r.m_out.front().at <= *now) {
            *readable = true;
            return true;
        }
        if (woken() || *now >= deadline)
            return true;
        r.sleepLocked(lock, deadline);
    }
}

void Connection::interruptWait()
{
    Recorder& r = *m_recorder;
    // Taking the lock orders this after a waiter's look at its condition.
    std::lock_guard lock(r.m_mutex);
    r.m_cv.notify_all();
}

bool Connection::status(std::uint32_t* rxQueued)
{
    Recorder& r = *m_recorder;
    std::lock_guard lock(r.m_mutex);
    const std::optional<Clock::time_point> now = r.catchUpLocked(m_id);
    if (!now)
        return false;
    std::uint32_t n = 0;
    for (const Recorder::Out& o : r.m_out) {
        if (o.at > *now)
            break;
        ++n;
    }
    *rxQueued = n;
    return true;
}

// ------------------------------------------------------------------ Recorder

Recorder::Recorder(DeviceConfig config)
    : m_uid(g_nextUid++)
    , m_config(std::move(config))
{
    m_transferMode = m_config.transferMode;
    m_rng.seed(m_config.faults.seed);
    m_pathPresent = m_config.presentWhile.empty() || pathExists(m_config.presentWhile);
    m_rxBuf.reserve(14 + kMaxPayload);
}

Recorder::~Recorder() = default;

int Recorder::generation() const
{
    return readSynced([this] { return m_generation; });
}

bool Recorder::present() const
{
    return readSynced([this] { return pluggedLocked(); });
}

std::string Recorder::description() const
{
    std::lock_guard lock(m_mutex);
    return m_config.description;
}

std::string Recorder::serial() const
{
    std::lock_guard lock(m_mutex);
    return m_config.serial;
}

std::string Recorder::presentWhile() const
{
    std::lock_guard lock(m_mutex);
    return m_config.presentWhile;
}

Kind Recorder::kind() const
{
    std::lock_guard lock(m_mutex);
    return m_config.kind;
}

std::unique_ptr<Connection> Recorder::open(std::string* error)
{
    std::lock_guard lock(m_mutex);
    followPresencePathLocked();
    if (!pluggedLocked()) {
        if (error)
            *error = "the device is not connected";
        return nullptr;
    }
    if (m_connection != 0) {
        if (error)
            *error = "the device is already open";
        return nullptr;
    }
    m_connection = m_nextConnection++;
    // A freshly opened FTDI port starts at its power-on line settings.
    m_baud = 9600;
    m_bits = 8;
    m_stopBits = 0;
    m_parity = 0;
    m_readTimeoutMs = 0;
    m_lineWarned = false;
    m_out.clear();
    m_in.clear();
    m_txFree = m_rxFree = Clock::time_point {};
    resetParserLocked();
    return std::unique_ptr<Connection>(new Connection(shared_from_this(), m_connection));
}

bool Recorder::aliveLocked(std::uint64_t connection) const
{
    return pluggedLocked() && connection != 0 && m_connection == connection;
}

void Recorder::followPresencePathLocked()
{
    if (m_config.presentWhile.empty())
        return;
    const bool exists = pathExists(m_config.presentWhile);
    if (exists == m_pathPresent)
        return;
    qCDebug(lcSim).noquote() << QString::fromStdString(m_config.serial)
                             << (exists ? "plugged in:" : "unplugged:")
                             << QString::fromStdString(m_config.presentWhile)
                             << (exists ? "exists" : "is gone");
    const bool wasPlugged = pluggedLocked();
    m_pathPresent = exists;
    if (wasPlugged && !exists)
        dropConnectionLocked();
}

void Recorder::vanishLocked()
{
    const bool wasPlugged = pluggedLocked();
    m_present = false;
    if (wasPlugged)
        dropConnectionLocked();
    Bus::instance().announcePresenceChange();
}

void Recorder::dropConnectionLocked()
{
    ++m_generation;
    m_connection = 0;
    m_out.clear();
    m_in.clear();
    resetParserLocked();
    m_cv.notify_all();
}

void Recorder::vanish()
{
    std::lock_guard lock(m_mutex);
    if (m_present)
        vanishLocked();
}

void Recorder::reappear()
{
    std::lock_guard lock(m_mutex);
    if (m_present)
        return;
    m_present = true;
    Bus::instance().announcePresenceChange();
}

void Recorder::setFaults(const Faults& faults)
{
    std::lock_guard lock(m_mutex);
    m_config.faults = faults;
    m_rng.seed(faults.seed);
    m_framesTaken = 0;
    m_statusCommandUsed = 0;
    m_silentUsed = 0;
    m_bytesHandedOut = 0;
}

void Recorder::setRequestObserver(std::function<void(const Frame&)> observer)
{
    std::lock_guard lock(m_mutex);
    m_requestObserver = std::move(observer);
}

void Recorder::clearFaults()
{
    setFaults(Faults {});
}

Faults Recorder::faults() const
{
    std::lock_guard lock(m_mutex);
    return m_config.faults;
}

void Recorder::setAnswering(bool answering)
{
    std::lock_guard lock(m_mutex);
    m_config.answering = answering;
}

void Recorder::setRefuseTransferMode(bool refuse)
{
    std::lock_guard lock(m_mutex);
    m_config.refuseTransferMode = refuse;
}

void Recorder::setRequireTransferMode(bool require)
{
    std::lock_guard lock(m_mutex);
    m_config.requireTransferMode = require;
}

void Recorder::setTransferMode(bool on)
{
    std::lock_guard lock(m_mutex);
    m_transferMode = on;
}

bool Recorder::inTransferMode() const
{
    return readSynced([this] { return m_transferMode; });
}

void Recorder::setPollBudget(std::uint32_t budget)
{
    std::lock_guard lock(m_mutex);
    m_config.pollBudget = budget;
}

void Recorder::setDeleteDuration(int ms)
{
    std::lock_guard lock(m_mutex);
    m_config.deleteDurationMs = std::max(0, ms);
}

void Recorder::setTiming(Timing timing, int turnaroundUs)
{
    std::lock_guard lock(m_mutex);
    m_config.timing = timing;
    m_config.turnaroundUs = std::max(0, turnaroundUs);
}

void Recorder::setRepeatedFrames(RepeatedFrames behaviour)
{
    std::lock_guard lock(m_mutex);
    m_config.repeatedFrames = behaviour;
}

void Recorder::setMaxFrameSize(std::uint16_t size)
{
    std::lock_guard lock(m_mutex);
    m_config.maxFrameSize = size;
}

void Recorder::setVersions(std::uint16_t hardware, std::uint16_t software)
{
    std::lock_guard lock(m_mutex);
    m_config.hardwareVersion = hardware;
    m_config.softwareVersion = software;
}

void Recorder::setModel(const std::string& model)
{
    std::lock_guard lock(m_mutex);
    m_config.model = model;
}

std::map<std::uint16_t, QByteArray> Recorder::files() const
{
    return readSynced([this] { return m_config.files; });
}

std::optional<QByteArray> Recorder::file(std::uint16_t number) const
{
    std::lock_guard lock(m_mutex);
    syncLocked();
    auto it = m_config.files.find(number);
    if (it == m_config.files.end())
        return std::nullopt;
    return it->second;
}

void Recorder::putFile(std::uint16_t number, const QByteArray& content)
{
    std::lock_guard lock(m_mutex);
    m_config.files[number] = content;
}

void Recorder::removeFile(std::uint16_t number)
{
    std::lock_guard lock(m_mutex);
    m_config.files.erase(number);
}

std::vector<Frame> Recorder::receivedFrames() const
{
    return readSynced([this] { return m_received; });
}

std::vector<Frame> Recorder::sentFrames() const
{
    return readSynced([this] { return m_sent; });
}

QByteArray Recorder::receivedBytes() const
{
    return readSynced([this] { return m_receivedBytes; });
}

void Recorder::clearLogs()
{
    std::lock_guard lock(m_mutex);
    m_received.clear();
    m_sent.clear();
    m_receivedBytes.clear();
}

FirmwareReceipt Recorder::firmware() const
{
    return readSynced([this] { return m_firmware; });
}

// ------------------------------------------------------------ frame receiver

void Recorder::takeInArrivedLocked(Clock::time_point now)
{
    while (!m_in.empty() && m_in.front().at <= now) {
        const Out b = m_in.front();
        m_in.pop_front();
        m_receivedBytes.append(static_cast<char>(b.byte));
        feedLocked(b.byte, b.at);
        if (!pluggedLocked()) {
            m_in.clear();
            return;
        }
    }
}

void Recorder::sleepLocked(std::unique_lock<std::mutex>& lock,
                           std::optional<Clock::time_point> deadline)
{
    // Until the next reply bytes can be read, the host's bytes have all
    // arrived (they are taken in together, each at its own arrival time),
    // the deadline, or news from another thread. Waking for every single
    // byte on the wire would make the stand-in, not the program, the
    // busiest thread of a benchmark.
    std::optional<Clock::time_point> wake = deadline;
    if (!m_out.empty())
        wake = std::min(wake.value_or(Clock::time_point::max()), m_out.front().at);
    if (!m_in.empty())
        wake = std::min(wake.value_or(Clock::time_point::max()), m_in.back().at);
    if (wake)
        m_cv.wait_until(lock, *wake);
    else
        m_cv.wait(lock);
}

void Recorder::syncLocked() const
{
    // What the host sent until now has arrived, and time has passed for a
    // running deletion, also when the caller only looks.
    auto* self = const_cast<Recorder*>(this);
    self->followPresencePathLocked();
    const Clock::time_point now = Clock::now();
    self->takeInArrivedLocked(now);
    self->advanceDeletionLocked(now);
}

void Recorder::resetParserLocked()
{
    m_rx = RxState::WaitStart;
    m_rxBuf.clear();
    m_rxLeft = 0;
}

bool Recorder::lineMatchesLocked() const
{
    return m_baud == kBaudRate && m_bits == 8 && m_stopBits == 2 && m_parity == 0;
}

void Recorder::feedLocked(std::uint8_t byte, Clock::time_point at)
{
    if (!m_config.answering)
        return;
    if (!lineMatchesLocked()) {
        // At another speed or framing the recorder sees only line noise.
        if (!m_lineWarned) {
            qCDebug(lcSim) << "line settings" << m_baud << m_bits << m_stopBits << m_parity
                           << "do not match 250000 8N2: bytes are not understood";
            m_lineWarned = true;
        }
        return;
    }
    if (m_rx != RxState::WaitStart && at - m_lastByteAt > kInterByteGap)
        resetParserLocked();
    m_lastByteAt = at;

    switch (m_rx) {
    case RxState::WaitStart:
        if (byte != kStart)
            return; // garbage between frames
        m_rxBuf.assign(1, byte);
        m_headerSum = byte;
        m_rxLeft = 11;
        m_rx = RxState::Header;
        return;
    case RxState::Header:
        m_rxBuf.push_back(byte);
        if (--m_rxLeft > 0) {
            m_headerSum = static_cast<std::uint8_t>(m_headerSum + byte);
            return;
        }
        {
            // byte is the header checksum over bytes 0..10
            const std::uint8_t address = m_rxBuf[2];
            const std::uint8_t type = m_rxBuf[4];
            const std::size_t length = m_rxBuf[8] | (std::size_t(m_rxBuf[9]) << 8);
            if (byte != m_headerSum || length > kMaxPayload
                || (type != kTypeWrite && type != kTypeRead)
                || (address != 0xFF && address != m_config.replyAddress)) {
                // Not a header: a frame may start inside what was taken for one.
                const std::vector<std::uint8_t> rest(m_rxBuf.begin() + 1, m_rxBuf.end());
                resetParserLocked();
                for (std::uint8_t b : rest)
                    feedLocked(b, at);
                return;
            }
            m_trailerSum = byte;
            m_rxLeft = length;
            m_rx = length ? RxState::Payload : RxState::Trailer;
            if (!length)
                m_rxLeft = 2;
        }
        return;
    case RxState::Payload:
        m_rxBuf.push_back(byte);
        m_trailerSum = static_cast<std::uint8_t>(m_trailerSum + byte);
        if (--m_rxLeft == 0) {
            m_rx = RxState::Trailer;
            m_rxLeft = 2;
        }
        return;
    case RxState::Trailer:
        m_rxBuf.push_back(byte);
        if (--m_rxLeft > 0)
            return;
        m_rx = RxState::WaitStart;
        if (byte != kEnd || m_rxBuf[m_rxBuf.size() - 2] != m_trailerSum)
            return; // a damaged frame is dropped without a reply
        handleFrameLocked(frameFrom(m_rxBuf.data(), m_rxBuf.data() + 12, m_rxBuf.size() - 14), at);
        return;
    }
}

// ------------------------------------------------------------------- replies

void Recorder::sendLocked(const Frame& reply, Clock::time_point at)
{
    m_sent.push_back(reply);
    m_lastReply = reply;
    const QByteArray bytes = encode(reply);

    const Faults& fx = m_config.faults;
    const long long frameNo = m_framesTaken - 1; // the request being answered
    const Clock::time_point now = Clock::now();
    const bool wire = m_config.timing == Timing::Wire;
    // On the wire the reply follows the request's arrival, however late
    // the request was taken in.
    Clock::time_point t =
        (wire ? at : std::max(at, now)) + std::chrono::microseconds(m_config.turnaroundUs);
    if (wire)
        t = std::max(t, m_rxFree);
    const std::size_t first = m_out.size();
    const auto spoilt = [&](int atFrame) {
        return atFrame >= 0 && frameNo >= atFrame && frameNo < atFrame + fx.faultCount;
    };
    const bool drop = spoilt(fx.dropAtFrame), corrupt = spoilt(fx.corruptAtFrame);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<std::uint8_t>(bytes[i]);
        if (drop && i == fx.faultOffset)
            continue;
        if (fx.dropProbability > 0 && uniform(m_rng) < fx.dropProbability)
            continue;
        if (corrupt && i == fx.faultOffset)
            b ^= 0xFF;
        if (fx.corruptProbability > 0 && uniform(m_rng) < fx.corruptProbability)
            b ^= static_cast<std::uint8_t>(1 + m_rng() % 255);
        if (wire)
            t += kByteTime;
        m_out.push_back({b, t});
    }
    if (wire) {
        m_rxFree = t;
        // The host sees a packet once its last byte has arrived.
        for (std::size_t begin = first; begin < m_out.size(); begin += kUsbPacketBytes) {
            const std::size_t end = std::min(m_out.size(), begin + kUsbPacketBytes);
            const Clock::time_point last = m_out[end - 1].at;
            for (std::size_t i = begin; i < end; ++i)
                m_out[i].at = last;
        }
    }
    m_cv.notify_all();
}

void Recorder::resendLastLocked(Clock::time_point at)
{
    // The repeated frame was taken in before; only its reply went astray.
    const Frame again = m_lastReply;
    sendLocked(again, at);
}

void Recorder::rejectLocked(const Frame& request, std::uint8_t status, Clock::time_point at)
{
    // A refused frame leaves the reply a repetition of the last accepted
    // frame gets untouched.
    const Frame keep = m_lastReply;
    replyStatusLocked(request, status, at);
    m_lastReply = keep;
}

void Recorder::replyStatusLocked(const Frame& request, std::uint8_t status, Clock::time_point at)
{
    Frame r;
    r.address = m_config.replyAddress;
    r.flags = kFlagFirst | kFlagLast;
    r.type = kTypeStatus;
    r.command = request.command;
    r.parameter = request.parameter;
    r.sequence = request.sequence;
    r.payload = QByteArray(1, static_cast<char>(status));
    sendLocked(r, at);
}

void Recorder::replyDataLocked(const Frame& request, std::uint8_t flags, const QByteArray& payload,
                               Clock::time_point at)
{
    Frame r;
    r.address = m_config.replyAddress;
    r.flags = flags;
    r.type = kTypeData;
    r.command = request.command;
    r.parameter = request.parameter;
    r.sequence = request.sequence;
    r.payload = payload;
    sendLocked(r, at);
}

std::size_t Recorder::replyChunkLocked() const
{
    const std::size_t frame = std::max<std::size_t>(m_config.maxFrameSize, 15);
    return std::min(frame - 14, kMaxPayload);
}

// ------------------------------------------------------------ frame handling

void Recorder::handleFrameLocked(const Frame& frame, Clock::time_point at)
{
    m_received.push_back(frame);
    if (m_requestObserver)
        m_requestObserver(frame);
    const long long frameNo = m_framesTaken++;
    const Faults& fx = m_config.faults;
    advanceDeletionLocked(at);

    if (fx.vanishAtCommand >= 0 && frame.command == fx.vanishAtCommand) {
        qCDebug(lcSim) << "device vanishes at command" << frame.command;
        vanishLocked();
        return;
    }
    if (fx.silentCommand >= 0 && frame.command == fx.silentCommand
        && (fx.silentCount < 0 || m_silentUsed < fx.silentCount)) {
        ++m_silentUsed;
        return;
    }
    const bool statusByFrame = fx.statusAtFrame >= 0 && frameNo >= fx.statusAtFrame
        && frameNo < fx.statusAtFrame + fx.statusCount;
    const bool statusByCommand = fx.statusCommand >= 0 && frame.command == fx.statusCommand
        && m_statusCommandUsed < fx.statusCount;
    const bool statusByFile =
        fx.statusFile >= 0 && frame.command == kCmdFileSize && frame.parameter == fx.statusFile;
    if (statusByFrame || statusByCommand || statusByFile) {
        if (statusByCommand)
            ++m_statusCommandUsed;
        // Rejected without being taken in: a repetition is handled as new.
        rejectLocked(frame, fx.status, at);
        return;
    }

    const std::size_t limit = std::max<std::size_t>(m_config.maxFrameSize, kMinFrameSize);
    if (14 + static_cast<std::size_t>(frame.payload.size()) > limit) {
        rejectLocked(frame, StatusFrameTooLong, at);
        return;
    }

    if (frame.type == kTypeWrite)
        handleWriteLocked(frame, at);
    else
        handleReadLocked(frame, at);
}

void Recorder::handleWriteLocked(const Frame& frame, Clock::time_point at)
{
    const bool first = frame.flags & kFlagFirst;
    const bool last = frame.flags & kFlagLast;
    if (first) {
        m_readActive = false;
        m_writeActive = true;
        m_writeBuf = frame.payload;
    } else {
        const bool sameTransfer =
            m_haveLast && m_lastType == kTypeWrite && m_lastCommand == frame.command;
        const bool recognising = m_config.repeatedFrames == RepeatedFrames::Recognised;
        if (recognising && sameTransfer && frame.sequence == m_lastSeq) {
            resendLastLocked(at); // a repetition: already stored
            return;
        }
        if (!m_writeActive || !sameTransfer
            || (recognising && frame.sequence != static_cast<std::uint8_t>(m_lastSeq + 1))) {
            rejectLocked(frame, StatusSequenceError, at);
            return;
        }
        m_writeBuf.append(frame.payload);
    }
    m_haveLast = true;
    m_lastType = kTypeWrite;
    m_lastCommand = frame.command;
    m_lastSeq = frame.sequence;
    std::uint8_t status = StatusOk;
    if (last) {
        m_writeActive = false;
        status = executeWriteLocked(frame.command, frame.parameter, m_writeBuf, at);
        m_writeBuf.clear();
    }
    replyStatusLocked(frame, status, at);
}

void Recorder::handleReadLocked(const Frame& frame, Clock::time_point at)
{
    const bool first = frame.flags & kFlagFirst;
    if (first) {
        m_writeActive = false;
        m_readActive = false;
        m_haveLast = false;
        QByteArray data;
        const std::uint8_t status = executeReadLocked(frame.command, frame.parameter, at, &data);
        if (status != StatusOk) {
            rejectLocked(frame, status, at);
            return;
        }
        m_readActive = true;
        m_readBuf = data;
        m_readOffset = 0;
    } else {
        const bool sameTransfer =
            m_haveLast && m_lastType == kTypeRead && m_lastCommand == frame.command;
        const bool recognising = m_config.repeatedFrames == RepeatedFrames::Recognised;
        if (recognising && sameTransfer && frame.sequence == m_lastSeq) {
            resendLastLocked(at);
            return;
        }
        if (!m_readActive || !sameTransfer
            || (recognising && frame.sequence != static_cast<std::uint8_t>(m_lastSeq + 1))
            || m_readOffset >= static_cast<std::size_t>(m_readBuf.size())) {
            rejectLocked(frame, StatusSequenceError, at);
            return;
        }
    }
    const std::size_t total = static_cast<std::size_t>(m_readBuf.size());
    const std::size_t chunk = std::min(replyChunkLocked(), total - m_readOffset);
    const bool last = m_readOffset + chunk >= total;
    std::uint8_t flags = 0;
    if (first)
        flags |= kFlagFirst;
    if (last)
        flags |= kFlagLast;
    const QByteArray part =
        m_readBuf.mid(static_cast<qsizetype>(m_readOffset), static_cast<qsizetype>(chunk));
    m_readOffset += chunk;
    if (last)
        m_readActive = false; // a repetition of this request is still answered
    m_haveLast = true;
    m_lastType = kTypeRead;
    m_lastCommand = frame.command;
    m_lastSeq = frame.sequence;
    replyDataLocked(frame, flags, part, at);
}

// --------------------------------------------------------------- commands

void Recorder::advanceDeletionLocked(Clock::time_point at)
{
    if (m_deleting < 0 || m_deletionFinished || m_deletionStatus != 0)
        return;
    if (at - m_deleteStart >= std::chrono::milliseconds(m_config.deleteDurationMs)) {
        m_config.files.erase(static_cast<std::uint16_t>(m_deleting));
        m_deletionFinished = true;
    }
}

std::uint8_t Recorder::executeWriteLocked(std::uint8_t command, std::uint16_t parameter,
                                          const QByteArray& data, Clock::time_point at)
{
    (void)at;
    if (m_config.requireTransferMode && !m_transferMode && isFileCommand(command))
        return StatusNotInTransferMode;
    switch (command) {
    case 0: // presence probe: the content is not looked at
        return StatusOk;
    case 3: { // firmware header block
        m_firmware = FirmwareReceipt {};
        m_nextSection = 0;
        m_firmwareSum = 0;
        m_firmware.header = data;
        if (data.size() != 256 || !data.startsWith(QByteArray("KVU2\0", 5)))
            return StatusRefused;
        m_firmware.sectionCount = std::min<int>(static_cast<std::uint8_t>(data[46]), 8);
        for (int i = 0; i < 8; ++i)
            m_firmware.sectionSizes[i] = u32At(data, 68 + 4 * i);
        m_firmware.expectedChecksum = u32At(data, 100);
        if (m_firmware.sectionCount == 0) {
            m_firmware.complete = true;
            m_firmware.checksumOk = m_firmware.expectedChecksum == 0;
        }
        return StatusOk;
    }
    case 4: { // firmware section
        if (m_config.repeatedFrames == RepeatedFrames::Recognised && m_nextSection > 0
            && parameter + 1 == m_nextSection && data == m_firmware.sections.back()) {
            // A repeated section (its reply went astray) is not taken twice.
            return m_firmware.complete && !m_firmware.checksumOk ? StatusChecksumError : StatusOk;
        }
        if (m_firmware.header.size() != 256 || m_firmware.complete || parameter != m_nextSection
            || parameter >= m_firmware.sectionCount
            || static_cast<std::uint32_t>(data.size()) != m_firmware.sectionSizes[parameter])
            return StatusRefused;
        m_firmware.sections.push_back(data);
        for (char c : data)
            m_firmwareSum += static_cast<std::uint8_t>(c);
        ++m_nextSection;
        if (m_nextSection < m_firmware.sectionCount)
            return StatusOk;
        m_firmware.complete = true;
        m_firmware.computedChecksum = m_firmwareSum;
        m_firmware.checksumOk = m_firmwareSum == m_firmware.expectedChecksum;
        qCDebug(lcSim) << "firmware received, checksum" << m_firmwareSum
                       << (m_firmware.checksumOk ? "matches" : "does not match");
        return m_firmware.checksumOk ? StatusOk : StatusChecksumError;
    }
    case 15: { // file data for the file selected for writing
        if (m_writeSelected < 0 || data.size() < static_cast<qsizetype>(kRecordSize))
            return StatusRefused;
        QByteArray content = data;
        // The recorder files it under the number it was selected as.
        const std::uint32_t id = m_writeSelected == kSettingsFileNumber
            ? 0u
            : static_cast<std::uint32_t>(m_writeSelected);
        for (int i = 0; i < 4; ++i)
            content[i] = static_cast<char>((id >> (8 * i)) & 0xFF);
        m_config.files[static_cast<std::uint16_t>(m_writeSelected)] = content;
        // The selection stays, so a repeated single-frame write stores the
        // same file again instead of failing.
        return StatusOk;
    }
    default:
        return StatusUnknownCommand;
    }
}

std::uint8_t Recorder::executeReadLocked(std::uint8_t command, std::uint16_t parameter,
                                         Clock::time_point at, QByteArray* reply)
{
    if (m_config.requireTransferMode && !m_transferMode && isFileCommand(command))
        return StatusNotInTransferMode;
    auto stored = [this](std::uint16_t number) {
        return isValidFileNumber(number) && m_config.files.count(number) > 0;
    };
    switch (command) {
    case 1: { // device information record
        QByteArray r(static_cast<qsizetype>(kInfoRecordSize), '\0');
        r[2] = static_cast<char>(m_config.hardwareVersion & 0xFF);
        r[3] = static_cast<char>(m_config.hardwareVersion >> 8);
        r[4] = static_cast<char>(m_config.softwareVersion & 0xFF);
        r[5] = static_cast<char>(m_config.softwareVersion >> 8);
        const std::size_t n = std::min<std::size_t>(m_config.model.size(), 39);
        for (std::size_t i = 0; i < n; ++i)
            r[static_cast<qsizetype>(6 + i)] = m_config.model[i];
        r[46] = static_cast<char>(m_config.maxFrameSize & 0xFF);
        r[47] = static_cast<char>(m_config.maxFrameSize >> 8);
        *reply = r;
        return StatusOk;
    }
    case 9: // file size; selects the file for reading
        if (!stored(parameter))
            return StatusNoSuchFile;
        m_readSelected = parameter;
        *reply = u32Reply(static_cast<std::uint32_t>(m_config.files[parameter].size()));
        return StatusOk;
    case 10: // file data of the file whose size was asked last
        if (parameter != 3)
            return StatusRefused;
        if (m_readSelected < 0 || !stored(static_cast<std::uint16_t>(m_readSelected)))
            return StatusNoSuchFile;
        *reply = m_config.files[static_cast<std::uint16_t>(m_readSelected)];
        return StatusOk;
    case 11: // select for deletion
        if (!stored(parameter))
            return StatusNoSuchFile;
        if (m_deleting == parameter)
            m_deleting = -1; // a new deletion of a file whose last one failed
        m_deleteSelected = parameter;
        *reply = u32Reply(m_config.pollBudget);
        return StatusOk;
    case 12:
        switch (parameter) {
        case 0:
            if (m_deleteSelected < 0)
                return StatusRefused;
            *reply = u16Reply(0);
            // A repeated start (its reply went astray) leaves the running
            // deletion alone.
            if (m_deleting == m_deleteSelected
                && m_config.repeatedFrames == RepeatedFrames::Recognised)
                return StatusOk;
            m_deleting = m_deleteSelected;
            qCDebug(lcSim) << "deletion of file" << m_deleting << "starts";
            m_deleteStart = at;
            m_deletionFinished = false;
            m_deletionStatus = m_config.faults.deletionError;
            advanceDeletionLocked(at);
            return StatusOk;
        case 1: {
            std::uint16_t progress = 255;
            if (m_deleting >= 0 && !m_deletionFinished) {
                if (m_deletionStatus != 0) {
                    progress = 0;
                } else {
                    const auto elapsed = std::max<long long>(
                        0,
                        std::chrono::duration_cast<std::chrono::milliseconds>(at - m_deleteStart)
                            .count());
                    progress = static_cast<std::uint16_t>(std::min<long long>(
                        254, elapsed * 255 / std::max(1, m_config.deleteDurationMs)));
                }
            }
            *reply = u16Reply(progress);
            return StatusOk;
        }
        case 2:
            *reply = u16Reply(m_deleting >= 0 ? m_deletionStatus : 0);
            return StatusOk;
        default:
            return StatusRefused;
        }
    case 13: // existence
        *reply = u32Reply(stored(parameter) ? 1u : 0u);
        return StatusOk;
    case 14: { // select for writing: only a free number, not one being deleted
        const bool busy = m_deleting == parameter && !m_deletionFinished;
        const bool ready = isValidFileNumber(parameter) && !stored(parameter) && !busy;
        if (ready)
            m_writeSelected = parameter;
        *reply = u32Reply(ready ? 0xFFFFFFFFu : 0u);
        return StatusOk;
    }
    case 16: { // content list: the records of all files, settings first
        QByteArray list;
        for (const auto& [number, content] : m_config.files) {
            if (number != kSettingsFileNumber)
                continue;
            list.append(recordOf(content));
        }
        for (const auto& [number, content] : m_config.files) {
            if (number == kSettingsFileNumber)
                continue;
            list.append(recordOf(content));
        }
        *reply = list;
        return StatusOk;
    }
    case 17: // a failed write ends: the selection is dropped
        m_writeSelected = -1;
        *reply = u32Reply(0);
        return StatusOk;
    case 18:
        switch (parameter) {
        case 0:
            *reply = u32Reply(m_transferMode ? 0xFFFFFFFFu : 0u);
            return StatusOk;
        case 1:
            // Logged so that tests of another process can follow the mode.
            qCDebug(lcSim) << (m_config.refuseTransferMode ? "refuses transfer mode"
                                                           : "enters transfer mode");
            if (!m_config.refuseTransferMode)
                m_transferMode = true;
            *reply = u32Reply(0);
            return StatusOk;
        case 2:
            qCDebug(lcSim) << "leaves transfer mode";
            m_transferMode = false;
            *reply = u32Reply(0);
            return StatusOk;
        default:
            return StatusRefused;
        }
    default:
        return StatusUnknownCommand;
    }
}

Frame frameFrom(const std::uint8_t* header, const std::uint8_t* payload, std::size_t length)
{
    Frame f;
    f.address = header[2];
    f.flags = header[3];
    f.type = header[4];
    f.command = header[5];
    f.parameter = static_cast<std::uint16_t>(header[6] | (header[7] << 8));
    f.sequence = header[10];
    f.payload = QByteArray(reinterpret_cast<const char*>(payload), static_cast<qsizetype>(length));
    return f;
}

std::uint32_t u32At(const QByteArray& bytes, qsizetype at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(bytes.at(at + i));
    return v;
}

} // namespace sim
