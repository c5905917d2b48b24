#include "kvpmaster.h"

#include "kvpdeviceinfo.h"
#include "kvplog.h"
#include "kvpmphy.h"
#include "recorder_vocabulary.h"

#include <algorithm>
#include <cstring>
#include <optional>

Q_LOGGING_CATEGORY(lcProtocol, "mzt.protocol")

namespace {

constexpr uint ReadLimit = 65534;
using mzt500::TransferModeOn;
constexpr uint EndOfRead = mzt500::EndOfReadMark;
constexpr int MinFrameSize = 80;
constexpr int MaxFrameSize = static_cast<int>(KVP_BUFFER_SIZE);

KVPMaster* masterOf(KVPEngine* engine)
{
    return static_cast<KVPMaster*>(engine->owner);
}

quint32 u32At(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

} // namespace

const char* kvp::describeCause(FailureCause cause)
{
    switch (cause) {
    case FailureCause::None:
        return "no failure";
    case FailureCause::NoReply:
        return "no valid reply in time";
    case FailureCause::Silent:
        return "the recorder answers nothing";
    case FailureCause::Refused:
        return "refused or answered wrongly";
    case FailureCause::Gone:
        return "the recorder is gone";
    case FailureCause::Aborted:
        return "stopped on request";
    }
    return "?";
}

KVPMaster::KVPMaster(QObject* parent)
    : QThread(parent)
    , m_engine(std::make_unique<KVPEngine>())
{
    kvpInitEngine(m_engine.get());
    kvpSetHooks(m_engine.get(), &KVPMaster::onTransmit, &KVPMaster::onAcknowledge,
                &KVPMaster::onData, this);
}

KVPMaster::~KVPMaster()
{
    m_stopRequest.store(true, std::memory_order_release);
    wakeMasterThread();
    joinMasterThread();
    if (KVPmPhy* link = m_link.load()) {
        // The link's reader must not call into a destroyed master.
        if (link->master() == this) {
            link->disconnectDevice();
            link->setMaster(nullptr);
        }
    }
}

KVPmPhy* KVPMaster::link() const
{
    return m_link.load(std::memory_order_acquire);
}

void KVPMaster::wakeMasterThread()
{
    // Passing through the lock orders the change before the waiter's next
    // look at its condition, or after it while the waiter sleeps.
    {
        std::lock_guard lock(m_waitLock);
    }
    m_masterWake.notify_one();
}

void KVPMaster::wakeCallers()
{
    {
        std::lock_guard lock(m_waitLock);
    }
    m_callerWake.notify_all();
}

void KVPMaster::joinMasterThread()
{
    wait();
    // The thread's last act was to set this flag: reading it orders all of
    // the thread's work before ours also for tools that cannot see inside
    // QThread::wait().
    [[maybe_unused]] const bool exited = m_runExited.load(std::memory_order_acquire);
}

void KVPMaster::startThread()
{
    if (!m_runExited.load(std::memory_order_acquire))
        return;
    wait(); // a run that has just returned must be fully finished before restarting
    m_stopRequest.store(false, std::memory_order_release);
    m_runExited.store(false, std::memory_order_release);
    start(QThread::InheritPriority);
}

void KVPMaster::attachLink(KVPmPhy* link)
{
    m_link.store(link, std::memory_order_release);
    if (link)
        link->setMaster(this);
    startThread();
}

void KVPMaster::connectLink()
{
    startThread();
    if (KVPmPhy* l = link())
        l->connectDevice();
}

void KVPMaster::resetEngine()
{
    std::scoped_lock lock(m_engineLock, m_receiveLock);
    kvpInitEngine(m_engine.get());
    kvpSetHooks(m_engine.get(), &KVPMaster::onTransmit, &KVPMaster::onAcknowledge,
                &KVPMaster::onData, this);
}

void KVPMaster::stopAndReset()
{
    std::lock_guard transaction(m_transaction);
    if (!m_runExited.load(std::memory_order_acquire)) {
        m_stopRequest.store(true, std::memory_order_release);
        wakeMasterThread();
        joinMasterThread();
    }
    m_stopRequest.store(false, std::memory_order_release);
    const unsigned asked = m_resetsAsked.load(std::memory_order_acquire);
    resetEngine();
    m_resetsDone.store(asked, std::memory_order_release);
    m_linkLost.store(false, std::memory_order_release);
    m_busy.store(false, std::memory_order_release);
    if (KVPmPhy* l = link())
        l->disconnectDevice();
}

void KVPMaster::cancel()
{
    // Ask for the reset before marking the link lost: an exchange that
    // starts in between waits for the reset instead of losing its frame to it.
    m_resetsAsked.fetch_add(1, std::memory_order_acq_rel);
    m_busy.store(false, std::memory_order_release);
    m_linkLost.store(true, std::memory_order_release);
    wakeMasterThread();
    wakeCallers();
}

void KVPMaster::resetFrameEngine()
{
    std::lock_guard transaction(m_transaction);
    resetEngine();
    clearReceived();
    m_busy.store(false, std::memory_order_release);
}

void KVPMaster::timeout()
{
    qCDebug(lcProtocol) << "Timeout";
    cancel();
}

void KVPMaster::setTimeout(int ms)
{
    m_timeout.store(ms, std::memory_order_relaxed);
    wakeMasterThread(); // a running reply time-out follows the new value
}

int KVPMaster::getTimeout() const
{
    return m_timeout.load(std::memory_order_relaxed);
}

void KVPMaster::requestAbort()
{
    m_abortRequest.store(true, std::memory_order_release);
}

void KVPMaster::clearAbortRequest()
{
    m_abortRequest.store(false, std::memory_order_release);
}

bool KVPMaster::isAbortRequested() const
{
    return m_abortRequest.load(std::memory_order_acquire);
}

void KVPMaster::interrupt()
{
    std::lock_guard lock(m_abortLock);
    m_abortRequest.store(true, std::memory_order_release);
    if (m_abortDeferrals.load(std::memory_order_acquire) == 0)
        cancel();
}

void KVPMaster::deferAbort()
{
    std::lock_guard lock(m_abortLock);
    m_abortDeferrals.fetch_add(1, std::memory_order_acq_rel);
}

void KVPMaster::endAbortDeferral()
{
    std::lock_guard lock(m_abortLock);
    m_abortDeferrals.fetch_sub(1, std::memory_order_acq_rel);
}

bool KVPMaster::abortDue() const
{
    return m_abortRequest.load(std::memory_order_acquire)
        && m_abortDeferrals.load(std::memory_order_acquire) == 0;
}

bool KVPMaster::isBusy() const
{
    return m_busy.load(std::memory_order_acquire);
}

bool KVPMaster::isLinkLost() const
{
    return m_linkLost.load(std::memory_order_acquire);
}

int KVPMaster::maximumFrameSize() const
{
    return m_maxFrameSize.load(std::memory_order_relaxed);
}

void KVPMaster::setMaximumFrameSize(int bytes)
{
    m_maxFrameSize.store(std::clamp(bytes, MinFrameSize, MaxFrameSize), std::memory_order_relaxed);
}

uint KVPMaster::percentOf(quint64 done, quint64 total)
{
    return total ? uint(done * 100u / total) : 100u;
}

void KVPMaster::feedByte(unsigned char byte)
{
    {
        std::lock_guard lock(m_receiveLock);
        kvpReceiveByte(m_engine.get(), byte);
    }
    afterFeeding();
}

void KVPMaster::feedBytes(const unsigned char* bytes, std::size_t count)
{
    {
        std::lock_guard lock(m_receiveLock);
        for (std::size_t i = 0; i < count; ++i)
            kvpReceiveByte(m_engine.get(), bytes[i]);
    }
    afterFeeding();
}

void KVPMaster::afterFeeding()
{
    const KVPEngine* e = m_engine.get();
    if (e->frameReceived.load(std::memory_order_acquire)
        || e->corruptHeaders.load(std::memory_order_acquire) != 0)
        wakeMasterThread();
}

bool KVPMaster::masterHasWork() const
{
    if (m_stopRequest.load(std::memory_order_acquire)
        || m_resetsAsked.load(std::memory_order_acquire)
            != m_resetsDone.load(std::memory_order_acquire))
        return true;
    // While the link is lost frames are neither processed nor transmitted.
    if (m_linkLost.load(std::memory_order_acquire))
        return false;
    const KVPEngine* e = m_engine.get();
    return e->pending.load(std::memory_order_acquire)
        || e->frameReceived.load(std::memory_order_acquire)
        || e->corruptHeaders.load(std::memory_order_acquire) != 0;
}

void KVPMaster::run()
{
    using Clock = std::chrono::steady_clock;
    KVPEngine* engine = m_engine.get();
    while (!m_stopRequest.load(std::memory_order_acquire)) {
        const unsigned asked = m_resetsAsked.load(std::memory_order_acquire);
        if (asked != m_resetsDone.load(std::memory_order_acquire)) {
            resetEngine();
            m_resetsDone.store(asked, std::memory_order_release);
            wakeCallers(); // an exchange may wait for this reset
        }
        if (!m_linkLost.load(std::memory_order_acquire)) {
            std::lock_guard lock(m_engineLock);
            kvpProcess(engine);
        }
        // The reply time-out runs from the end of the frame's transmission.
        // It is looked at after processing, so a reply that is complete
        // when the time-out expires still counts.
        std::optional<Clock::time_point> deadline;
        if (m_busy.load(std::memory_order_acquire) && m_transmitted.load(std::memory_order_acquire)
            && !m_linkLost.load(std::memory_order_acquire)) {
            deadline = m_transmittedAt
                + std::chrono::milliseconds(m_timeout.load(std::memory_order_relaxed));
            if (Clock::now() > *deadline) {
                qCDebug(lcProtocol) << "No reply in time";
                cancel();
                continue;
            }
        }
        std::unique_lock lock(m_waitLock);
        if (deadline)
            m_masterWake.wait_until(lock, *deadline, [this] { return masterHasWork(); });
        else
            m_masterWake.wait(lock, [this] { return masterHasWork(); });
    }
    m_runExited.store(true, std::memory_order_release);
    wakeCallers();
}

void KVPMaster::onTransmit(KVPEngine* engine, unsigned short length, const unsigned char* bytes)
{
    KVPMaster* m = masterOf(engine);
    KVPmPhy* l = m->link();
    if (!l) {
        m->cancel(); // nothing could ever answer
        return;
    }
    // A frame the link could not send was lost with the link, not on the
    // line: the link has cancelled the exchange already.
    if (!l->send(length, bytes))
        m->m_sendFailed.store(true, std::memory_order_release);
    // The reply time-out counts from the end of the transmission: a long
    // frame's own wire time must not eat into it.
    m->m_transmittedAt = std::chrono::steady_clock::now();
    m->m_transmitted.store(true, std::memory_order_release);
}

void KVPMaster::onAcknowledge(KVPEngine* engine, unsigned char, unsigned short,
                              unsigned char status)
{
    KVPMaster* m = masterOf(engine);
    m->m_busy.store(false, std::memory_order_release);
    m->m_status.store(status, std::memory_order_relaxed);
    m->m_error.store(status != KVP_STATUS_OK, std::memory_order_relaxed);
    m->m_done.store(true, std::memory_order_release);
    m->wakeCallers();
}

void KVPMaster::onData(KVPEngine* engine, unsigned char, unsigned short, unsigned short length,
                       const unsigned char* payload, bool, bool last, unsigned char status)
{
    KVPMaster* m = masterOf(engine);
    m->m_busy.store(false, std::memory_order_release);
    m->m_status.store(status, std::memory_order_relaxed);
    if (status != KVP_STATUS_OK) {
        qCDebug(lcProtocol) << "Slave has reported an error";
        m->m_error.store(true, std::memory_order_relaxed);
        m->m_receivedCount = 0;
    } else if (length > m->m_expectedMaximum) {
        qCDebug(lcProtocol) << "Too much data";
        m->m_error.store(true, std::memory_order_relaxed);
        m->m_receivedCount = 0;
    } else {
        const qsizetype old = m->m_received.size();
        m->m_received.resize(old + length);
        if (length)
            std::memcpy(m->m_received.data() + old, payload, length);
        m->m_receivedCount = length;
        m->m_last.store(last, std::memory_order_relaxed);
        m->m_error.store(false, std::memory_order_relaxed);
    }
    m->m_done.store(true, std::memory_order_release);
    m->wakeCallers();
}

KVPMaster::Outcome KVPMaster::prepareExchange()
{
    // Without the master thread nothing would transmit the frame or time it
    // out, and the caller would wait for ever.
    if (m_runExited.load(std::memory_order_acquire)) {
        qCDebug(lcProtocol) << "master thread is not running";
        return Outcome::Lost;
    }
    // A reset asked for before this point must not wipe the frame about to
    // be built. Later requests come with the link marked lost, which fails
    // this exchange anyway, so they need not be waited for.
    const unsigned asked = m_resetsAsked.load(std::memory_order_acquire);
    {
        std::unique_lock lock(m_waitLock);
        m_callerWake.wait(lock, [&] {
            return int(m_resetsDone.load(std::memory_order_acquire) - asked) >= 0
                || m_runExited.load(std::memory_order_acquire);
        });
    }
    if (int(m_resetsDone.load(std::memory_order_acquire) - asked) < 0)
        return Outcome::Lost; // the master thread ended first
    if (m_linkLost.load(std::memory_order_acquire))
        return Outcome::Lost;
    return Outcome::Ok;
}

template <typename Build> KVPMaster::Outcome KVPMaster::exchange(Build&& build)
{
    if (prepareExchange() != Outcome::Ok)
        return Outcome::Lost;
    {
        std::lock_guard lock(m_engineLock);
        m_done.store(false, std::memory_order_relaxed);
        m_error.store(false, std::memory_order_relaxed);
        m_transmitted.store(false, std::memory_order_relaxed);
        m_status.store(KVP_STATUS_OK, std::memory_order_relaxed);
        m_sendFailed.store(false, std::memory_order_relaxed);
        // Set before the frame can go out, so that a quick reply's "not
        // busy" is never overwritten by a late "busy".
        m_busy.store(true, std::memory_order_release);
        if (!build()) {
            m_busy.store(false, std::memory_order_release);
            return Outcome::Error;
        }
    }
    wakeMasterThread(); // a frame to transmit
    return awaitReply();
}

KVPMaster::Outcome KVPMaster::exchangeWrite(unsigned char command, ushort parameter,
                                            const unsigned char* data, uint length, bool first,
                                            bool last)
{
    return exchange([&] {
        return kvpBuildWriteFrame(m_engine.get(), command, parameter, data, length, first, last);
    });
}

KVPMaster::Outcome KVPMaster::exchangeRead(unsigned char command, ushort parameter, bool first,
                                           uint expectedMaximum)
{
    return exchange([&] {
        m_expectedMaximum = static_cast<std::uint16_t>(std::min(expectedMaximum, ReadLimit));
        m_receivedCount = 0;
        m_received.clear();
        kvpBuildReadRequest(m_engine.get(), command, parameter, first);
        return true;
    });
}

KVPMaster::Outcome KVPMaster::awaitReply()
{
    {
        std::unique_lock lock(m_waitLock);
        m_callerWake.wait(lock, [this] {
            return m_done.load(std::memory_order_acquire)
                || m_linkLost.load(std::memory_order_acquire)
                || m_runExited.load(std::memory_order_acquire);
        });
    }
    if (m_done.load(std::memory_order_acquire))
        return m_error.load(std::memory_order_relaxed) ? Outcome::Error : Outcome::Ok;
    // The frame must not go out later as if it belonged to the next exchange.
    std::lock_guard lock(m_engineLock);
    kvpDiscardPending(m_engine.get());
    return Outcome::Lost;
}

uint KVPMaster::takeReceived(unsigned char* dest, uint room)
{
    std::lock_guard lock(m_engineLock);
    const uint n = std::min<uint>({m_receivedCount, room, static_cast<uint>(m_received.size())});
    if (n) {
        std::memcpy(dest, m_received.constData(), n);
        m_received.remove(0, n);
    }
    return n;
}

void KVPMaster::clearReceived()
{
    std::lock_guard lock(m_engineLock);
    m_received.clear();
}

kvp::TransferOutcome KVPMaster::failureOf(Outcome outcome, uint length) const
{
    kvp::TransferOutcome failure;
    failure.length = length;
    if (outcome == Outcome::Error) {
        failure.status = m_status.load(std::memory_order_relaxed);
        // Replies spoilt on the line are no refusal: the recorder may well
        // answer the same request whole the next time.
        failure.cause = failure.status == KVP_STATUS_CORRUPT ? kvp::FailureCause::NoReply
                                                             : kvp::FailureCause::Refused;
        return failure;
    }
    const KVPmPhy* l = link();
    if (abortDue())
        failure.cause = kvp::FailureCause::Aborted;
    else if (!l || !l->isConnected() || m_sendFailed.load(std::memory_order_acquire))
        failure.cause = kvp::FailureCause::Gone;
    else
        failure.cause = kvp::FailureCause::NoReply;
    return failure;
}

kvp::TransferOutcome KVPMaster::write(uint length, const unsigned char* data, unsigned char command,
                                      ushort parameter)
{
    std::lock_guard transaction(m_transaction);
    m_linkLost.store(false, std::memory_order_release);
    clearReceived();
    if (length && !data)
        return failureOf(Outcome::Error, 0);
    if (abortDue())
        return failureOf(Outcome::Lost, 0);

    const uint payloadRoom = uint(maximumFrameSize()) - KVP_FRAME_OVERHEAD;
    uint chunk = std::min(length, payloadRoom);
    if (chunk != length)
        chunk &= ~3u;
    // The first frame must be acknowledged before anything follows it.
    if (const Outcome first = exchangeWrite(command, parameter, data, chunk, true, chunk == length);
        first != Outcome::Ok)
        return failureOf(first, 0);
    uint sent = chunk;
    while (sent < length) {
        const uint rest = length - sent;
        const bool last = rest <= chunk;
        const uint n = last ? rest : chunk;
        if (abortDue())
            return failureOf(Outcome::Lost, sent);
        const Outcome outcome = exchangeWrite(command, parameter, data + sent, n, false, last);
        if (outcome != Outcome::Ok)
            return failureOf(outcome, sent);
        sent += n;
        if (m_linkLost.load(std::memory_order_acquire) || abortDue())
            return failureOf(Outcome::Lost, sent);
        emit sigTransferred(percentOf(sent, length));
    }
    kvp::TransferOutcome done;
    done.length = sent;
    return done;
}

bool KVPMaster::writeData(uint length, const unsigned char* data, unsigned char command,
                          ushort parameter)
{
    return write(length, data, command, parameter).ok();
}

kvp::TransferOutcome KVPMaster::read(uint maxLength, unsigned char* buffer, unsigned char command,
                                     ushort parameter)
{
    std::lock_guard transaction(m_transaction);
    uint got = 0;
    emit sigReceived(0);
    m_linkLost.store(false, std::memory_order_release);
    clearReceived();
    m_last.store(false, std::memory_order_relaxed);
    if (maxLength && !buffer)
        return failureOf(Outcome::Error, 0);
    if (abortDue())
        return failureOf(Outcome::Lost, 0);
    // A reply that cannot be the one asked for (more than announced, or an
    // empty block in the middle) is the recorder's answer, not the line's.
    const auto wrongReply = [&] {
        kvp::TransferOutcome wrong;
        wrong.cause = kvp::FailureCause::Refused;
        wrong.length = got;
        return wrong;
    };

    // Each reply may fill at most what is left of the caller's buffer.
    const Outcome first = exchangeRead(command, parameter, true, std::min(maxLength, ReadLimit));
    if (first == Outcome::Error)
        qCDebug(lcProtocol) << "failed .1";
    if (first != Outcome::Ok)
        return failureOf(first, 0);
    got += takeReceived(buffer, maxLength - got);
    if (!m_last.load(std::memory_order_relaxed) && maxLength == 0)
        return wrongReply();
    emit sigReceived(got);

    while (!m_last.load(std::memory_order_relaxed)) {
        if (abortDue())
            return failureOf(Outcome::Lost, got);
        const Outcome next =
            exchangeRead(command, parameter, false, std::min(maxLength - got, ReadLimit));
        if (next != Outcome::Ok)
            return failureOf(next, got);
        const uint n = takeReceived(buffer + got, maxLength - got);
        got += n;
        const bool last = m_last.load(std::memory_order_relaxed);
        if (m_linkLost.load(std::memory_order_acquire) || abortDue())
            return failureOf(Outcome::Lost, got);
        if ((!last && got >= maxLength) || n == 0)
            return wrongReply();
        emit sigReceived(got);
    }
    qCDebug(lcProtocol) << "EMIT 100%";
    emit sigReceived(EndOfRead);
    kvp::TransferOutcome done;
    done.length = got;
    return done;
}

bool KVPMaster::readData(uint maxLength, unsigned char* buffer, uint* length, unsigned char command,
                         ushort parameter)
{
    const kvp::TransferOutcome outcome = read(maxLength, buffer, command, parameter);
    if (length)
        *length = outcome.length;
    return outcome.ok();
}

int KVPMaster::checkConnection()
{
    std::unique_lock transaction(m_transaction, std::try_to_lock);
    if (!transaction.owns_lock())
        return 0;
    // The probe keeps a lost link lost: only a real transaction clears it.
    const unsigned char probe[4] = {0, 0, 0, 0};
    const Outcome outcome = exchangeWrite(mzt500::CmdPing, 0, probe, sizeof probe, true, true);
    return outcome == Outcome::Ok ? 2 : 1;
}

bool KVPMaster::getDeviceInfo(QString* name, uint* softwareVersion, uint* hardwareVersion)
{
    std::lock_guard transaction(m_transaction);
    m_linkLost.store(false, std::memory_order_release);
    clearReceived();
    if (exchangeRead(mzt500::CmdIdentify, 0, true, 400) != Outcome::Ok)
        return false;
    unsigned char record[400];
    const uint n = takeReceived(record, sizeof record);
    const std::optional<kvp::DeviceInfoRecord> info = kvp::decodeDeviceInfo(record, n);
    if (!info) {
        qCDebug(lcProtocol).nospace() << "Read Length " << n;
        return false;
    }
    if (name)
        *name = info->name;
    if (softwareVersion)
        *softwareVersion = info->softwareVersion;
    if (hardwareVersion)
        *hardwareVersion = info->hardwareVersion;
    setMaximumFrameSize(int(info->maximumFrameSize));
    return true;
}

bool KVPMaster::queryTransferMode(quint32* value)
{
    unsigned char reply[4];
    uint length = 0;
    if (!readData(sizeof reply, reply, &length, mzt500::CmdTransferMode, mzt500::TransferModeQuery)
        || length != sizeof reply)
        return false;
    *value = u32At(reply);
    return true;
}

int KVPMaster::ensureTransferMode()
{
    quint32 value = 0;
    if (!queryTransferMode(&value))
        return 0;
    if (value == TransferModeOn)
        return 1;
    unsigned char reply[4];
    uint length = 0;
    readData(sizeof reply, reply, &length, mzt500::CmdTransferMode, mzt500::TransferModeEnter);
    // The recorder changes its USB behaviour in transfer mode: reopen it.
    stopAndReset();
    connectLink();
    queryTransferMode(&value);
    if (!queryTransferMode(&value))
        return 0;
    return value == TransferModeOn ? 1 : 3;
}
