// Shared by the protocol tests: the simulated bus (simbus.h), and a link
// that answers with scripted replies for the few malformed answers the
// simulated recorder does not produce.
#pragma once

#include "kvpframe.h"
#include "kvpmaster.h"
#include "kvpmphy.h"
#include "simbus.h"

#include <QByteArray>
#include <QStringList>
#include <QTest>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// A frame as the recorder would send it.
inline QByteArray encodeReply(std::uint8_t type, std::uint8_t command, std::uint8_t sequence,
                              const QByteArray& payload = {}, std::uint8_t flags = 0x0C,
                              std::uint8_t address = 0x00, std::uint16_t parameter = 0)
{
    QByteArray f;
    f.append(char(0xAA)).append(char(0)).append(char(address)).append(char(flags));
    f.append(char(type)).append(char(command));
    f.append(char(parameter & 0xFF)).append(char(parameter >> 8));
    f.append(char(payload.size() & 0xFF)).append(char(payload.size() >> 8));
    f.append(char(sequence));
    std::uint8_t sum = 0;
    for (char c : f)
        sum = std::uint8_t(sum + std::uint8_t(c));
    f.append(char(sum));
    for (char c : payload)
        sum = std::uint8_t(sum + std::uint8_t(c));
    f.append(payload).append(char(sum)).append(char(0xCC));
    return f;
}

// Answers each transmitted frame with the next scripted reply, addressed to
// that frame's command and sequence, once the frame is the one the script
// expects next. A frame the script does not expect, or a scripted reply that
// is still unused when the next script is set or the link goes, fails the
// test: a script that does not run as written proves nothing. The bytes are
// fed as the reader thread would feed them.
class ScriptedLink : public KVPmPhy {
public:
    // The frame the master must send: a read request or a write frame of
    // this command, with these flags (0x0C first and last, 0x08 first,
    // 0x04 last, 0x00 a middle one).
    struct Request {
        std::uint8_t type;
        std::uint8_t command;
        std::uint8_t flags;
    };
    struct Reply {
        Request request;
        std::uint8_t type;
        QByteArray payload;
        std::uint8_t flags;
    };
    static Request read(std::uint8_t command, std::uint8_t flags = KVP_FLAG_FIRST | KVP_FLAG_LAST)
    {
        return {KVP_TYPE_READ, command, flags};
    }
    static Request write(std::uint8_t command, std::uint8_t flags = KVP_FLAG_FIRST | KVP_FLAG_LAST)
    {
        return {KVP_TYPE_WRITE, command, flags};
    }

    ~ScriptedLink() override { failOnUnmetScript(); }

    void script(std::vector<Reply> replies)
    {
        failOnUnmetScript();
        std::lock_guard lock(m_mutex);
        m_replies.assign(replies.begin(), replies.end());
    }
    bool send(ushort length, const void* data) override
    {
        const auto* frame = static_cast<const unsigned char*>(data);
        if (length < KVP_FRAME_OVERHEAD)
            return false;
        const std::uint8_t type = frame[KVP_OFF_TYPE], command = frame[KVP_OFF_COMMAND],
                           flags = frame[KVP_OFF_FLAGS];
        Reply r;
        {
            std::lock_guard lock(m_mutex);
            if (m_replies.empty()) {
                m_problems << QStringLiteral("unscripted frame: type %1 command %2 flags %3")
                                  .arg(type)
                                  .arg(command)
                                  .arg(flags, 2, 16, QLatin1Char('0'));
                return true; // no answer: the exchange times out
            }
            r = m_replies.front();
            m_replies.pop_front();
            if (r.request.type != type || r.request.command != command || r.request.flags != flags)
                m_problems << QStringLiteral("frame type %1 command %2 flags %3 where type %4 "
                                             "command %5 flags %6 was scripted")
                                  .arg(type)
                                  .arg(command)
                                  .arg(flags, 2, 16, QLatin1Char('0'))
                                  .arg(r.request.type)
                                  .arg(r.request.command)
                                  .arg(r.request.flags, 2, 16, QLatin1Char('0'));
        }
        if (auto* m = static_cast<KVPMaster*>(master()))
            for (char c : encodeReply(r.type, command, frame[KVP_OFF_SEQUENCE], r.payload, r.flags))
                m->feedByte(static_cast<unsigned char>(c));
        return true;
    }

private:
    void failOnUnmetScript()
    {
        QStringList problems;
        {
            std::lock_guard lock(m_mutex);
            problems = m_problems;
            if (!m_replies.empty())
                problems << QStringLiteral("%1 scripted replies never used").arg(m_replies.size());
            m_problems.clear();
            m_replies.clear();
        }
        if (!problems.isEmpty())
            QTest::qFail(qPrintable(problems.join(QStringLiteral("; "))), __FILE__, __LINE__);
    }

    std::mutex m_mutex;
    std::deque<Reply> m_replies;
    QStringList m_problems;
};

inline QByteArray bytesOf(const unsigned char* p, uint n)
{
    return QByteArray(reinterpret_cast<const char*>(p), qsizetype(n));
}
