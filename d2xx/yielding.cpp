#include "yielding.h"
#include "yield_channel.h"

#include "hw_common.h"

#include <QCryptographicHash>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace d2xx {

namespace {

std::atomic<HoldMode> g_holdMode {HoldMode::Ordinary};
thread_local std::optional<HoldMode> t_holdMode;
std::mutex g_callbackLock;
TakenCallback g_takenCallback;

// "\0mzt500-yield-<uid>-<hash of the key>": abstract, so nothing is left in
// the file system, and per user, so one user's open never reaches another
// user's watcher.
sockaddr_un addressOf(const std::string& key, socklen_t* length)
{
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Sha1).toHex();
    const std::string name =
        "mzt500-yield-" + std::to_string(::getuid()) + "-" + hash.toStdString();
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

// The other end runs as this user (or as root, who may do anything anyway).
bool peerIsTrusted(int socket)
{
    ucred peer {};
    socklen_t size = sizeof peer;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return false;
    return peer.uid == ::getuid() || peer.uid == 0;
}

} // namespace

void setHoldMode(HoldMode mode)
{
    g_holdMode = mode;
}

HoldMode holdMode()
{
    return t_holdMode ? *t_holdMode : g_holdMode.load();
}

HoldModeScope::HoldModeScope(HoldMode mode)
    : m_previous(t_holdMode)
{
    t_holdMode = mode;
}

HoldModeScope::~HoldModeScope()
{
    t_holdMode = m_previous;
}

void setTakenCallback(TakenCallback callback)
{
    std::lock_guard lock(g_callbackLock);
    g_takenCallback = std::move(callback);
}

void reportTaken(const std::string& device)
{
    qCInfo(lcD2xx).noquote() << QString::fromStdString(device)
                             << "was let go to another program that opened it";
    std::lock_guard lock(g_callbackLock);
    if (g_takenCallback)
        g_takenCallback(device);
}

std::string yieldKey(const Backend* backend, const DeviceInfo& device)
{
    if (backend == simulatorBackend())
        return "sim:" + std::to_string(::getpid()) + ":" + device.key;
    if (!device.serial.empty())
        return "serial:" + device.serial;
    // A named port may be named through a link: the port it leads to is
    // the device.
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(device.place, error);
    return "place:" + (error ? device.place : real.string());
}

std::unique_ptr<YieldListener> YieldListener::start(const std::string& key,
                                                    std::function<void(int connection)> onRequest)
{
    std::unique_ptr<YieldListener> listener(new YieldListener);
    listener->m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    listener->m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    socklen_t length = 0;
    const sockaddr_un address = addressOf(key, &length);
    if (listener->m_socket < 0 || listener->m_stop < 0
        || ::bind(listener->m_socket, reinterpret_cast<const sockaddr*>(&address), length) != 0
        || ::listen(listener->m_socket, 4) != 0) {
        qCWarning(lcD2xx).noquote() << "cannot offer" << QString::fromStdString(key)
                                    << "to other programs:" << std::strerror(errno);
        return nullptr;
    }
    const int socket = listener->m_socket;
    const int stop = listener->m_stop;
    // The thread touches only what it captured, so that it may end on its
    // own after a request while its listener is being destroyed.
    listener->m_thread = std::thread([socket, stop, onRequest = std::move(onRequest)] {
        for (;;) {
            pollfd fds[2] = {{socket, POLLIN, 0}, {stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents)
                return;
            const int connection = ::accept4(socket, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            if (!peerIsTrusted(connection)) {
                ::close(connection);
                continue;
            }
            onRequest(connection);
            return;
        }
    });
    return listener;
}

YieldListener::~YieldListener()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_stop, &one, sizeof one);
        // The handle may be closed from the taken callback, on the
        // listener's own thread, which ends by itself right after.
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
    if (m_socket >= 0)
        ::close(m_socket);
    if (m_stop >= 0)
        ::close(m_stop);
}

void ReleaseNotice::hold(int connection)
{
    std::lock_guard lock(m_lock);
    if (m_connection >= 0)
        ::close(m_connection);
    m_connection = connection;
}

void ReleaseNotice::release()
{
    std::lock_guard lock(m_lock);
    if (m_connection >= 0)
        ::close(m_connection);
    m_connection = -1;
}

bool askToYield(const std::string& key, WaitClock::time_point deadline)
{
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return false;
    socklen_t length = 0;
    const sockaddr_un address = addressOf(key, &length);
    bool released = false;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0
        && peerIsTrusted(socket)) {
        qCInfo(lcD2xx).noquote() << "asking the background holder of" << QString::fromStdString(key)
                                 << "to let it go";
        // The holder says nothing: it closes the connection once the
        // device is free.
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - WaitClock::now());
            if (left.count() <= 0)
                break;
            pollfd p {socket, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            char byte = 0;
            const ssize_t n = ::read(socket, &byte, 1);
            if (n <= 0) {
                released = true;
                break;
            }
        }
    }
    ::close(socket);
    return released;
}

} // namespace d2xx
