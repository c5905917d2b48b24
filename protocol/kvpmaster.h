// The protocol master: owns one frame engine, runs the master thread that
// transmits frames, processes replies and enforces the reply time-out, and
// offers the blocking transactions to the worker threads.
#pragma once

#include "kvpframe.h"
#include "kvpoutcome.h"
#include "linklistener.h"
#include "recorder_vocabulary.h"

#include <QList>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class KVPmPhy;

class KVPMaster : public QThread, public LinkListener {
    Q_OBJECT
public:
    explicit KVPMaster(QObject* parent = nullptr);
    ~KVPMaster() override;

    // Stores the link, introduces the master to it and starts the master thread.
    void attachLink(KVPmPhy* link);
    // Starts the master thread if it is not running, then connects the link.
    void connectLink();
    // Stops the master thread, resets the engine and disconnects the link.
    void stopAndReset();
    // Marks the link lost (waiting exchanges fail at once) and has the master
    // thread re-initialise the engine. Safe from any thread.
    void cancel() override;
    // Puts the frame engine back to its initial state and empties the
    // received bytes, between two attempts at a transfer: half a frame, a
    // pending repetition or a spent repetition budget left by the failed
    // attempt must not meet the next attempt's replies.
    void resetFrameEngine();

    void setTimeout(int ms);
    int getTimeout() const;

    // Asks the running read or write to stop at its next frame boundary. The
    // request stays until clearAbortRequest(): a read or write that starts
    // later fails before its first frame instead of forgetting it.
    void requestAbort();
    // For the start of a new operation: earlier requests were not meant for it.
    void clearAbortRequest();
    bool isAbortRequested() const;
    // requestAbort(), and unless aborts are deferred also cancel(), so that
    // an exchange waiting for its reply ends at once. Safe from any thread.
    void interrupt();
    // While deferred (the calls nest), reads and writes go on despite an
    // abort request and interrupt() leaves the link alone; the request takes
    // effect at the first frame boundary after the last deferral ended. For
    // work that must not stop half-way, such as rewriting a file the
    // recorder has already deleted.
    void deferAbort();
    void endAbortDeferral();

    // A reply that does not come in time fails the exchange and with it the
    // read or write; it is never sent again on a guess, since a recorder may
    // take a repeated frame in as new. The caller starts over instead.
    kvp::TransferOutcome write(uint length, const unsigned char* data, unsigned char command,
                               ushort parameter);
    kvp::TransferOutcome read(uint maxLength, unsigned char* buffer, unsigned char command,
                              ushort parameter);
    // The same calls, answering only whether they worked.
    bool writeData(uint length, const unsigned char* data, unsigned char command, ushort parameter);
    bool readData(uint maxLength, unsigned char* buffer, uint* length, unsigned char command,
                  ushort parameter);

    // Command set.
    // 0: another transaction holds the master, 1: no valid acknowledgement, 2: acknowledged.
    int checkConnection();
    bool getDeviceInfo(QString* name, uint* softwareVersion, uint* hardwareVersion);
    // 0: communication failure, 1: in transfer mode, 3: stays out of transfer mode.
    int ensureTransferMode();

    // For the link's reader thread.
    bool isBusy() const override;
    void feedByte(unsigned char byte);
    void feedBytes(const unsigned char* bytes, std::size_t count) override;

    // The largest frame the recorder accepts, as taken from its identification.
    int maximumFrameSize() const;
    // Sets the frame size as the identification would: raised to at least 80
    // and bounded by the engine's buffers.
    void setMaximumFrameSize(int bytes);
    bool isLinkLost() const;
    // Share of a transfer in percent; 64-bit so that large files do not wrap.
    static uint percentOf(quint64 done, quint64 total);
    KVPmPhy* link() const;

signals:
    void sigTransferred(uint percent);
    void sigReceived(uint bytes);
    void timer_start();
    void timer_stop();

public slots:
    void timeout();

protected:
    void run() override;

private:
    // How an exchange ended: acknowledged/delivered, failure reported by
    // the reply, or no reply (link lost, master stopped).
    enum class Outcome { Ok, Error, Lost };

    static void onTransmit(KVPEngine* engine, unsigned short length, const unsigned char* bytes);
    static void onAcknowledge(KVPEngine* engine, unsigned char command, unsigned short parameter,
                              unsigned char status);
    static void onData(KVPEngine* engine, unsigned char command, unsigned short parameter,
                       unsigned short length, const unsigned char* payload, bool first, bool last,
                       unsigned char status);

    void resetEngine();
    void startThread();
    void joinMasterThread();
    // Each waiting side sleeps on its condition until the state it waits
    // for changes; whoever changes it wakes that side afterwards.
    void wakeMasterThread();
    void wakeCallers();
    // The master thread has something to do: a frame to transmit, a reply
    // (or corrupt headers) to process, a reset, or the stop.
    bool masterHasWork() const;
    // After bytes were fed: wakes the master thread when they completed a
    // frame or spoilt a header.
    void afterFeeding();
    Outcome prepareExchange();
    // Builds one frame (under the engine lock) and waits for its reply.
    template <typename Build> Outcome exchange(Build&& build);
    Outcome exchangeWrite(unsigned char command, ushort parameter, const unsigned char* data,
                          uint length, bool first, bool last);
    Outcome exchangeRead(unsigned char command, ushort parameter, bool first, uint expectedMaximum);
    // What a failed exchange tells the caller: the recorder's status for a
    // reply that reported a failure, else why no reply counted.
    kvp::TransferOutcome failureOf(Outcome outcome, uint length) const;
    Outcome awaitReply();
    uint takeReceived(unsigned char* dest, uint room);
    void clearReceived();
    // Reads a u32 reply of command 18; false unless exactly four bytes came.
    bool queryTransferMode(quint32* value);
    // An abort request that is not deferred: reads and writes stop here.
    bool abortDue() const;

    std::atomic<KVPmPhy*> m_link {nullptr};
    std::mutex m_transaction; // one transaction at a time
    std::mutex m_engineLock;  // building vs processing/transmitting/resetting
    std::mutex m_receiveLock; // feeding a byte vs resetting
    std::mutex m_waitLock;    // orders the wake-ups after the waiters' checks
    std::condition_variable m_masterWake;
    std::condition_variable m_callerWake;
    std::unique_ptr<KVPEngine> m_engine;
    QList<unsigned char> m_received; // guarded by m_engineLock

    std::atomic<bool> m_stopRequest {false};
    // cancel() asks for engine resets, the master thread performs them.
    std::atomic<unsigned> m_resetsAsked {0};
    std::atomic<unsigned> m_resetsDone {0};
    std::atomic<bool> m_runExited {true};
    std::atomic<int> m_timeout {mzt500::InitialReplyTimeoutMs};
    std::atomic<bool> m_done {false};
    std::atomic<bool> m_error {false};
    std::atomic<bool> m_last {false};
    std::atomic<bool> m_busy {false};
    std::atomic<bool> m_linkLost {false};
    std::atomic<bool> m_abortRequest {false};
    std::atomic<int> m_abortDeferrals {0};
    // Orders interrupt()'s look at the deferrals against a deferral starting.
    std::mutex m_abortLock;
    std::atomic<bool> m_transmitted {false};
    // The status of the reply that ended the last exchange.
    std::atomic<std::uint8_t> m_status {0};
    // The link failed to send the exchange's frame.
    std::atomic<bool> m_sendFailed {false};
    std::uint16_t m_expectedMaximum = 0; // guarded by m_engineLock
    std::uint16_t m_receivedCount = 0;   // guarded by m_engineLock
    std::atomic<int> m_maxFrameSize {80};
    std::chrono::steady_clock::time_point m_transmittedAt; // master thread only
};
