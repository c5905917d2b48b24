// mzt500-ft232r: a USB-level FT232R with the recorder's descriptors, for the
// test guest. QEMU's usb-redir device connects to it over a Unix socket and
// the guest sees an FTDI chip on its bus; the data it carries is relayed to
// and from the recorder's serial path (for example the pseudo-terminal of
// mzt500-sim --pty).
//
//   mzt500-ft232r --listen SOCKET --serial-port PATH [--log FILE]
//                 [--product TEXT] [--serial TEXT]
//
// It answers the FTDI vendor requests libftdi and ftdi_sio send, prefixes
// every IN packet with the chip's two status bytes, and records every control
// request (hex) in the log. Commands on standard input, one answer line each:
//   unplug | plug            pull the device out / plug it in again
//   product TEXT             the product string from the next plug on
//   stall-latency on|off     stall the latency timer requests
//   line-error overrun|framing|none
//                            error bits in the status bytes from now on
//   zero-length on|off       IN answers without data as zero-length packets,
//                            without the status bytes
//   bytes                    "bytes N": data bytes relayed so far
#include "ft232r.h"

#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kEndpointIn = 0x81;
constexpr std::uint8_t kEndpointOut = 0x02;

struct PendingIn {
    std::uint64_t id;
    int length;
};

class Standin {
public:
    ft232r::Identity identity;
    std::string logPath;
    int serialFd = -1;

    ~Standin()
    {
        if (parser_)
            usbredirparser_destroy(parser_);
        if (log_)
            std::fclose(log_);
    }

    bool openLog()
    {
        if (logPath.empty())
            return true;
        log_ = std::fopen(logPath.c_str(), "w");
        return log_ != nullptr;
    }

    int run(int listenFd);

private:
    usbredirparser* parser_ = nullptr;
    int socketFd_ = -1;
    std::FILE* log_ = nullptr;
    bool plugged_ = true;
    bool helloSeen_ = false;
    std::uint8_t configuration_ = 0;
    ft232r::Chip chip_;
    std::deque<PendingIn> pendingIn_;
    std::deque<std::uint8_t> fromRecorder_;
    std::vector<std::uint8_t> toRecorder_;
    Clock::time_point lastIn_ = Clock::now();
    const Clock::time_point started_ = Clock::now();
    long long relayed_ = 0;
    bool zeroLength_ = false;

    void log(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!log_)
            return;
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
        std::fprintf(log_, "%8lld ", static_cast<long long>(ms.count()));
        va_list args;
        va_start(args, format);
        std::vfprintf(log_, format, args);
        va_end(args);
        std::fputc('\n', log_);
        std::fflush(log_);
    }

    void connectDevice();
    void startParser();
    void serviceIn(bool timerFired);
    void flushToRecorder();
    std::string command(const std::string& line);

    // usbredirparser callbacks.
    static Standin* self(void* priv) { return static_cast<Standin*>(priv); }
    static int readCb(void* priv, std::uint8_t* data, int count);
    static int writeCb(void* priv, std::uint8_t* data, int count);
    static void logCb(void*, int level, const char* msg)
    {
        if (level <= usbredirparser_warning)
            std::fprintf(stderr, "mzt500-ft232r: usbredir: %s\n", msg);
    }
    static void helloCb(void* priv, usb_redir_hello_header*)
    {
        self(priv)->helloSeen_ = true;
        if (self(priv)->plugged_)
            self(priv)->connectDevice();
    }
    static void resetCb(void* priv)
    {
        self(priv)->log("reset");
        self(priv)->chip_ = ft232r::Chip();
    }
    static void setConfigurationCb(void* priv, std::uint64_t id,
                                   usb_redir_set_configuration_header* h)
    {
        Standin* s = self(priv);
        s->log("set configuration %u", h->configuration);
        usb_redir_configuration_status_header status {};
        status.status = h->configuration <= 1 ? usb_redir_success : usb_redir_stall;
        if (h->configuration <= 1)
            s->configuration_ = h->configuration;
        status.configuration = s->configuration_;
        usbredirparser_send_configuration_status(s->parser_, id, &status);
    }
    static void getConfigurationCb(void* priv, std::uint64_t id)
    {
        usb_redir_configuration_status_header status {usb_redir_success,
                                                      self(priv)->configuration_};
        usbredirparser_send_configuration_status(self(priv)->parser_, id, &status);
    }
    static void setAltSettingCb(void* priv, std::uint64_t id, usb_redir_set_alt_setting_header* h)
    {
        usb_redir_alt_setting_status_header status {};
        status.status = h->interface == 0 && h->alt == 0 ? usb_redir_success : usb_redir_stall;
        status.interface = h->interface;
        status.alt = 0;
        usbredirparser_send_alt_setting_status(self(priv)->parser_, id, &status);
    }
    static void getAltSettingCb(void* priv, std::uint64_t id, usb_redir_get_alt_setting_header* h)
    {
        usb_redir_alt_setting_status_header status {};
        status.status = h->interface == 0 ? usb_redir_success : usb_redir_inval;
        status.interface = h->interface;
        status.alt = 0;
        usbredirparser_send_alt_setting_status(self(priv)->parser_, id, &status);
    }
    static void cancelCb(void* priv, std::uint64_t id)
    {
        Standin* s = self(priv);
        const auto it = std::find_if(s->pendingIn_.begin(), s->pendingIn_.end(),
                                     [id](const PendingIn& p) { return p.id == id; });
        if (it == s->pendingIn_.end())
            return; // already answered
        s->pendingIn_.erase(it);
        usb_redir_bulk_packet_header h {};
        h.endpoint = kEndpointIn;
        h.status = usb_redir_cancelled;
        usbredirparser_send_bulk_packet(s->parser_, id, &h, nullptr, 0);
    }
    static void controlCb(void* priv, std::uint64_t id, usb_redir_control_packet_header* h,
                          std::uint8_t* data, int length);
    static void bulkCb(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h,
                       std::uint8_t* data, int length);
};

int Standin::readCb(void* priv, std::uint8_t* data, int count)
{
    const ssize_t n = ::read(self(priv)->socketFd_, data, size_t(count));
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return n == 0 ? -1 : int(n); // end of stream: QEMU went away
}

int Standin::writeCb(void* priv, std::uint8_t* data, int count)
{
    const ssize_t n = ::send(self(priv)->socketFd_, data, size_t(count), MSG_NOSIGNAL);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return int(n);
}

void Standin::connectDevice()
{
    usb_redir_interface_info_header interfaces {};
    interfaces.interface_count = 1;
    interfaces.interface_class[0] = 0xFF;
    interfaces.interface_subclass[0] = 0xFF;
    interfaces.interface_protocol[0] = 0xFF;
    usbredirparser_send_interface_info(parser_, &interfaces);

    usb_redir_ep_info_header endpoints {};
    for (auto& type : endpoints.type)
        type = usb_redir_type_invalid;
    endpoints.type[0] = usb_redir_type_control;
    endpoints.type[16] = usb_redir_type_control;
    endpoints.max_packet_size[0] = endpoints.max_packet_size[16] = 8;
    // Index: the endpoint number, plus 16 for IN.
    endpoints.type[16 + (kEndpointIn & 0x0F)] = usb_redir_type_bulk;
    endpoints.max_packet_size[16 + (kEndpointIn & 0x0F)] = ft232r::kPacketSize;
    endpoints.type[kEndpointOut] = usb_redir_type_bulk;
    endpoints.max_packet_size[kEndpointOut] = ft232r::kPacketSize;
    usbredirparser_send_ep_info(parser_, &endpoints);

    usb_redir_device_connect_header device {};
    device.speed = usb_redir_speed_full;
    device.vendor_id = ft232r::kVendorId;
    device.product_id = ft232r::kProductId;
    device.device_version_bcd = ft232r::kDeviceVersion;
    usbredirparser_send_device_connect(parser_, &device);
    log("plug: product \"%s\"", identity.product.c_str());
}

void Standin::controlCb(void* priv, std::uint64_t id, usb_redir_control_packet_header* h,
                        std::uint8_t* data, int length)
{
    Standin* s = self(priv);
    const ft232r::Setup setup {h->requesttype, h->request, h->value, h->index, h->length};
    const std::vector<std::uint8_t> out(data, data + std::max(length, 0));
    usbredirparser_free_packet_data(s->parser_, data);

    const ft232r::Reply reply = s->chip_.control(setup, out, s->identity);
    if (reply.purgeRx)
        s->fromRecorder_.clear();
    if (reply.purgeTx)
        s->toRecorder_.clear();
    s->log("ctrl %s", ft232r::describe(setup, out, reply).c_str());

    usb_redir_control_packet_header answer = *h;
    answer.status = reply.stall ? usb_redir_stall : usb_redir_success;
    std::vector<std::uint8_t> in = reply.data;
    if (setup.requestType & 0x80) {
        if (in.size() > setup.length)
            in.resize(setup.length);
        answer.length = std::uint16_t(in.size());
        usbredirparser_send_control_packet(s->parser_, id, &answer,
                                           in.empty() ? nullptr : in.data(), int(in.size()));
    } else {
        usbredirparser_send_control_packet(s->parser_, id, &answer, nullptr, 0);
    }
}

void Standin::bulkCb(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h,
                     std::uint8_t* data, int length)
{
    Standin* s = self(priv);
    usb_redir_bulk_packet_header answer = *h;
    if (h->endpoint == kEndpointOut) {
        s->toRecorder_.insert(s->toRecorder_.end(), data, data + std::max(length, 0));
        s->relayed_ += length;
        usbredirparser_free_packet_data(s->parser_, data);
        s->flushToRecorder();
        answer.status = usb_redir_success; // the length stays: all of it was taken
        usbredirparser_send_bulk_packet(s->parser_, id, &answer, nullptr, 0);
        return;
    }
    usbredirparser_free_packet_data(s->parser_, data);
    if (h->endpoint != kEndpointIn) {
        answer.status = usb_redir_stall;
        answer.length = 0;
        usbredirparser_send_bulk_packet(s->parser_, id, &answer, nullptr, 0);
        return;
    }
    s->pendingIn_.push_back({id, int(h->length | std::uint32_t(h->length_high) << 16)});
    s->serviceIn(false);
}

// An IN request is answered as the chip does: at once when the data fill it,
// otherwise when the latency timer runs out, with the status bytes alone if
// nothing arrived.
void Standin::serviceIn(bool timerFired)
{
    while (!pendingIn_.empty() && plugged_) {
        const PendingIn p = pendingIn_.front();
        const std::size_t capacity = ft232r::dataCapacity(p.length);
        const bool due =
            timerFired || Clock::now() >= lastIn_ + std::chrono::milliseconds(chip_.latencyMs);
        if (fromRecorder_.size() < capacity && !due)
            return;
        const std::size_t n = std::min(capacity, fromRecorder_.size());
        const std::vector<std::uint8_t> payload(fromRecorder_.begin(),
                                                fromRecorder_.begin() + long(n));
        fromRecorder_.erase(fromRecorder_.begin(), fromRecorder_.begin() + long(n));
        relayed_ += long(n);
        std::vector<std::uint8_t> packets;
        if (!payload.empty() || !zeroLength_)
            packets = chip_.packetize(payload);
        pendingIn_.pop_front();
        usb_redir_bulk_packet_header h {};
        h.endpoint = kEndpointIn;
        h.status = usb_redir_success;
        h.length = std::uint16_t(packets.size() & 0xFFFF);
        h.length_high = std::uint16_t(packets.size() >> 16);
        usbredirparser_send_bulk_packet(
            parser_, p.id, &h, packets.empty() ? nullptr : packets.data(), int(packets.size()));
        lastIn_ = Clock::now();
        timerFired = false;
    }
}

void Standin::flushToRecorder()
{
    while (!toRecorder_.empty() && serialFd >= 0) {
        const ssize_t n = ::write(serialFd, toRecorder_.data(), toRecorder_.size());
        if (n <= 0)
            return; // the rest goes when the port can take it
        toRecorder_.erase(toRecorder_.begin(), toRecorder_.begin() + n);
    }
}

std::string Standin::command(const std::string& line)
{
    if (line == "unplug") {
        if (plugged_ && parser_ && helloSeen_) {
            usbredirparser_send_device_disconnect(parser_);
            pendingIn_.clear();
        }
        plugged_ = false;
        log("unplug");
        return "unplugged";
    }
    if (line == "plug") {
        if (!plugged_) {
            plugged_ = true;
            chip_ = ft232r::Chip();
            fromRecorder_.clear();
            if (parser_ && helloSeen_)
                connectDevice();
        }
        return "plugged";
    }
    if (line.rfind("product ", 0) == 0) {
        identity.product = line.substr(8);
        return "product " + identity.product;
    }
    if (line == "stall-latency on" || line == "stall-latency off") {
        chip_.stallLatency = identity.stallLatency = line.back() == 'n';
        return line;
    }
    if (line.rfind("line-error ", 0) == 0) {
        const std::string kind = line.substr(11);
        chip_.lineError = kind == "overrun" ? ft232r::kOverrun
            : kind == "framing"             ? ft232r::kFramingError
                                            : 0;
        return line;
    }
    if (line == "zero-length on" || line == "zero-length off") {
        zeroLength_ = line.back() == 'n';
        return line;
    }
    if (line == "bytes")
        return "bytes " + std::to_string(relayed_);
    return "unknown command";
}

void Standin::startParser()
{
    if (parser_)
        usbredirparser_destroy(parser_);
    parser_ = usbredirparser_create();
    parser_->priv = this;
    parser_->log_func = logCb;
    parser_->read_func = readCb;
    parser_->write_func = writeCb;
    parser_->hello_func = helloCb;
    parser_->reset_func = resetCb;
    parser_->set_configuration_func = setConfigurationCb;
    parser_->get_configuration_func = getConfigurationCb;
    parser_->set_alt_setting_func = setAltSettingCb;
    parser_->get_alt_setting_func = getAltSettingCb;
    parser_->cancel_data_packet_func = cancelCb;
    parser_->control_packet_func = controlCb;
    parser_->bulk_packet_func = bulkCb;
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    // QEMU's xHCI needs the long bulk lengths.
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(parser_, "mzt500-ft232r", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
    helloSeen_ = false;
    pendingIn_.clear();
}

int Standin::run(int listenFd)
{
    std::string commandLine;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({STDIN_FILENO, POLLIN, 0});
        fds.push_back({socketFd_ >= 0 ? socketFd_ : listenFd, POLLIN, 0});
        if (socketFd_ >= 0 && usbredirparser_has_data_to_write(parser_))
            fds[1].events |= POLLOUT;
        fds.push_back({serialFd, POLLIN, 0});
        if (!toRecorder_.empty())
            fds[2].events |= POLLOUT;

        int timeout = -1;
        if (!pendingIn_.empty() && plugged_) {
            const auto due = lastIn_ + std::chrono::milliseconds(chip_.latencyMs);
            timeout = int(std::max<long long>(
                0,
                std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count()));
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR)
            return 1;
        if (ready == 0) {
            serviceIn(true);
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buf[256];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0)
                return 0; // vm-run is done with us
            commandLine.append(buf, size_t(n));
            std::size_t end;
            while ((end = commandLine.find('\n')) != std::string::npos) {
                const std::string answer = command(commandLine.substr(0, end));
                commandLine.erase(0, end + 1);
                std::printf("%s\n", answer.c_str());
                std::fflush(stdout);
            }
        }
        if (socketFd_ < 0 && (fds[1].revents & POLLIN)) {
            socketFd_ = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (socketFd_ >= 0)
                startParser();
        } else if (socketFd_ >= 0 && fds[1].revents) {
            if (usbredirparser_do_read(parser_) != 0) {
                log("QEMU closed the connection");
                ::close(socketFd_);
                socketFd_ = -1;
            }
        }
        if (fds[2].revents & POLLIN) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(serialFd, buf, sizeof buf);
            if (n > 0 && plugged_)
                fromRecorder_.insert(fromRecorder_.end(), buf, buf + n);
            serviceIn(false);
        }
        if (fds[2].revents & POLLOUT)
            flushToRecorder();
        if (socketFd_ >= 0 && usbredirparser_has_data_to_write(parser_))
            usbredirparser_do_write(parser_);
    }
}

int usage()
{
    std::fprintf(stderr,
                 "usage: mzt500-ft232r --listen SOCKET --serial-port PATH [--log FILE]\n"
                 "                     [--product TEXT] [--serial TEXT]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Standin standin;
    std::string socketPath, serialPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--listen")
            socketPath = value;
        else if (option == "--serial-port")
            serialPath = value;
        else if (option == "--log")
            standin.logPath = value;
        else if (option == "--product")
            standin.identity.product = value;
        else if (option == "--serial")
            standin.identity.serial = value;
        else
            return usage();
    }
    if (socketPath.empty() || serialPath.empty() || argc % 2 == 0)
        return usage();
    std::signal(SIGPIPE, SIG_IGN);

    standin.serialFd = ::open(serialPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (standin.serialFd < 0) {
        std::fprintf(stderr, "mzt500-ft232r: %s: %s\n", serialPath.c_str(), std::strerror(errno));
        return 1;
    }
    termios t {};
    if (tcgetattr(standin.serialFd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(standin.serialFd, TCSANOW, &t);
    }
    if (!standin.openLog()) {
        std::fprintf(stderr, "mzt500-ft232r: %s: %s\n", standin.logPath.c_str(),
                     std::strerror(errno));
        return 1;
    }

    const int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        return usage();
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    ::unlink(socketPath.c_str());
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listenFd, 1) != 0) {
        std::fprintf(stderr, "mzt500-ft232r: %s: %s\n", socketPath.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    const int status = standin.run(listenFd);
    ::unlink(socketPath.c_str());
    return status;
}
