// Real hardware through libftdi1: every FTDI USB-serial chip whose strings we
// may read. The kernel's serial driver is detached while a port is open and
// re-attached when it closes, so the ttyUSB port comes back afterwards.
#include "backend.h"
#include "hw_common.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include <ftdi.h>
#include <libusb.h>

namespace d2xx {

namespace {

using Clock = std::chrono::steady_clock;

// The chip hands over what it received every latency period; 2 ms keeps a
// short reply from waiting the default 16 ms.
constexpr unsigned char kLatencyMs = 2;
// Bound of one bulk read. The chip answers every latency period even with
// nothing to say, so this only matters for a device that stopped answering.
constexpr int kBulkReadTimeoutMs = 500;
// Writes go out in pieces of the chips' largest buffer.
constexpr int kWriteChunk = 4096;

hw::UsbPlace placeOf(libusb_device* dev, int interface)
{
    hw::UsbPlace place;
    place.bus = libusb_get_bus_number(dev);
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    for (int i = 0; i < n; ++i)
        place.ports.push_back(ports[i]);
    place.interface = interface;
    return place;
}

// A USB string descriptor, or false when the device would not give it.
bool readString(libusb_device_handle* h, std::uint8_t index, std::string* text)
{
    text->clear();
    if (index == 0)
        return true; // the device has none
    unsigned char buf[256];
    const int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
    if (n < 0)
        return false;
    text->assign(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    return true;
}

// libftdi keeps the read buffer and the write settings in separate fields of
// the context and libusb allows transfers on two endpoints at once, so a
// read and a write may overlap under their separate locks.
class FtdiPort final : public hw::HardwarePort {
public:
    FtdiPort(ftdi_context* ctx, std::string name, bool restoreLatency, unsigned char latency)
        : ctx_(ctx)
        , name_(std::move(name))
        , restoreLatency_(restoreLatency)
        , savedLatency_(latency)
    {
    }

    ~FtdiPort() override
    {
        if (!gone_ && restoreLatency_)
            ftdi_set_latency_timer(ctx_, savedLatency_);
        ftdi_usb_close(ctx_); // releases the interface: the kernel driver returns
        ftdi_free(ctx_);
    }

    bool reset() override
    {
        std::scoped_lock lock(readMutex_, writeMutex_);
        if (gone_)
            return false;
        early_.clear();
        if (!check(ftdi_usb_reset(ctx_), "reset") || !check(ftdi_tcioflush(ctx_), "flush"))
            return false;
        // A chip that refuses the latency timer still works at its own (16 ms
        // unless set otherwise), only slower to answer: logged, not fatal.
        check(ftdi_set_latency_timer(ctx_, kLatencyMs), "latency timer");
        return true;
    }

    bool setBaudRate(std::uint32_t baud) override
    {
        if (baud == 0 || baud > 12000000)
            return false;
        std::scoped_lock lock(readMutex_, writeMutex_);
        return !gone_ && check(ftdi_set_baudrate(ctx_, static_cast<int>(baud)), "baud rate");
    }

    bool setDataCharacteristics(std::uint8_t bits, std::uint8_t stopBits,
                                std::uint8_t parity) override
    {
        if (!hw::supportedDataCharacteristics(bits, stopBits, parity))
            return false;
        std::scoped_lock lock(readMutex_, writeMutex_);
        return !gone_
            && check(ftdi_set_line_property(ctx_, static_cast<ftdi_bits_type>(bits),
                                            stopBits == 2 ? STOP_BIT_2 : STOP_BIT_1,
                                            static_cast<ftdi_parity_type>(parity)),
                     "line properties");
    }

    bool write(const std::uint8_t* data, std::size_t length, std::size_t* written) override
    {
        std::lock_guard lock(writeMutex_);
        *written = 0;
        if (gone_)
            return false;
        // Straight to libusb rather than ftdi_write_data, which reports
        // every failure as -1 (hiding a time-out or an unplugged device),
        // drops the count of a partial chunk and writes the context's error
        // text, which a read on the other thread may be writing too.
        const unsigned timeout = std::max<std::uint32_t>(writeTimeoutMs_, 1);
        while (*written < length) {
            const int piece =
                static_cast<int>(std::min<std::size_t>(length - *written, kWriteChunk));
            int sent = 0;
            const int r = libusb_bulk_transfer(
                ctx_->usb_dev, static_cast<unsigned char>(ctx_->in_ep),
                const_cast<std::uint8_t*>(data + *written), piece, &sent, timeout);
            *written += static_cast<std::size_t>(std::clamp(sent, 0, piece));
            if (r < 0) {
                // A time-out is a short write, not an I/O error.
                return usbFailure(r, "write") == hw::UsbOutcome::TimedOut;
            }
        }
        return true;
    }

    bool read(std::uint8_t* data, std::size_t length, std::size_t* got) override
    {
        std::lock_guard lock(readMutex_);
        *got = 0;
        if (gone_)
            return false;
        // Bytes a wait for input has already fetched come first.
        const std::size_t early = std::min(length, early_.size());
        std::copy_n(early_.begin(), early, data);
        early_.erase(early_.begin(), early_.begin() + static_cast<std::ptrdiff_t>(early));
        *got = early;
        ctx_->usb_read_timeout = kBulkReadTimeoutMs;
        const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs_.load());
        while (*got < length) {
            const int want = static_cast<int>(std::min<std::size_t>(length - *got, 1 << 20));
            const int r = ftdi_read_data(ctx_, data + *got, want);
            if (r < 0) {
                if (usbFailure(r, "read") != hw::UsbOutcome::TimedOut)
                    return false;
            } else {
                *got += static_cast<std::size_t>(std::min(r, want));
            }
            if (*got >= length || Clock::now() >= deadline)
                break;
        }
        return true;
    }

    bool waitForInput(Clock::time_point deadline, Wakeup& wakeup, bool* readable) override
    {
        std::lock_guard lock(readMutex_);
        *readable = false;
        if (gone_)
            return false;
        // The chip answers a bulk read every latency period, with status
        // bytes only when it has nothing: each read below ends within that
        // period, which bounds how late a signal or the deadline is seen.
        // What arrives is kept for the next read().
        while (early_.empty() && ctx_->readbuffer_remaining == 0) {
            if (wakeup.isSet() || Clock::now() >= deadline)
                return true;
            unsigned char buffer[512];
            ctx_->usb_read_timeout = kBulkReadTimeoutMs;
            const int r = ftdi_read_data(ctx_, buffer, sizeof buffer);
            if (r < 0) {
                if (usbFailure(r, "read") != hw::UsbOutcome::TimedOut)
                    return false;
            } else {
                early_.insert(early_.end(), buffer, buffer + r);
            }
        }
        *readable = true;
        return true;
    }

    bool status(std::uint32_t* rxQueued) override
    {
        if (gone_)
            return false;
        // A modem-status poll is a control transfer: it works beside a
        // running bulk read or write and fails with no-device once the
        // chip is unplugged.
        unsigned char modem[2];
        const int r = libusb_control_transfer(
            ctx_->usb_dev, FTDI_DEVICE_IN_REQTYPE, SIO_POLL_MODEM_STATUS_REQUEST, 0,
            static_cast<std::uint16_t>(ctx_->index), modem, sizeof modem, 500);
        if (r < 0 && usbFailure(r, "status") == hw::UsbOutcome::Gone)
            return false;
        std::uint32_t queued = 0;
        if (readMutex_.try_lock()) {
            queued = ctx_->readbuffer_remaining + static_cast<std::uint32_t>(early_.size());
            readMutex_.unlock();
        }
        *rxQueued = queued;
        return true;
    }

private:
    bool check(int ftdiResult, const char* what)
    {
        if (ftdiResult >= 0)
            return true;
        qCDebug(lcD2xx).noquote() << QString::fromStdString(name_) << what
                                  << "failed:" << ftdi_get_error_string(ctx_);
        return false;
    }

    hw::UsbOutcome usbFailure(int libusbResult, const char* what)
    {
        const hw::UsbOutcome outcome = hw::classifyUsbResult(libusbResult);
        if (outcome == hw::UsbOutcome::Gone) {
            if (!gone_.exchange(true))
                qCDebug(lcD2xx).noquote() << QString::fromStdString(name_) << "is gone";
        } else if (outcome == hw::UsbOutcome::Failed) {
            qCDebug(lcD2xx).noquote() << QString::fromStdString(name_) << what
                                      << "failed:" << libusb_error_name(libusbResult);
        }
        return outcome;
    }

    ftdi_context* const ctx_;
    std::vector<std::uint8_t> early_; // under readMutex_
    const std::string name_;
    const bool restoreLatency_;
    const unsigned char savedLatency_;
};

struct ContextDeleter {
    void operator()(ftdi_context* ctx) const { ftdi_free(ctx); }
};
using Context = std::unique_ptr<ftdi_context, ContextDeleter>;

struct DeviceListDeleter {
    void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, DeviceListDeleter>;

class FtdiBackend final : public Backend {
public:
    const char* name() const override { return "libftdi"; }

    std::vector<DeviceInfo> list() override
    {
        std::vector<DeviceInfo> devices;
        Context ctx(ftdi_new());
        if (!ctx) {
            qCDebug(lcD2xx) << "libftdi: cannot start libusb";
            return devices;
        }
        ftdi_device_list* raw = nullptr;
        // Vendor and product 0: libftdi's own list of FTDI chips (0403:6001,
        // 6010, 6011, 6014, 6015).
        const int found = ftdi_usb_find_all(ctx.get(), &raw, 0, 0);
        DeviceList list(raw);
        if (found < 0) {
            qCDebug(lcD2xx) << "libftdi: cannot list USB devices:"
                            << ftdi_get_error_string(ctx.get());
            return devices;
        }
        for (ftdi_device_list* node = list.get(); node; node = node->next)
            describe(node->dev, &devices);
        hw::sortByUsbPlace(&devices);
        return devices;
    }

    std::unique_ptr<Port> open(const DeviceInfo& device, OpenFailure* failure) override
    {
        hw::UsbPlace place;
        if (!hw::parseUsbKey(device.key, &place)) {
            failure->reason = "not a USB device";
            return nullptr;
        }
        Context ctx(ftdi_new());
        if (!ctx) {
            failure->reason = "cannot start libusb";
            return nullptr;
        }
        ftdi_set_interface(ctx.get(), static_cast<ftdi_interface>(INTERFACE_A + place.interface));
        ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        ftdi_device_list* raw = nullptr;
        const int found = ftdi_usb_find_all(ctx.get(), &raw, 0, 0);
        DeviceList list(raw);
        libusb_device* dev = nullptr;
        for (ftdi_device_list* node = found > 0 ? list.get() : nullptr; node; node = node->next) {
            hw::UsbPlace p = placeOf(node->dev, place.interface);
            if (p == place)
                dev = node->dev;
        }
        if (!dev) {
            failure->reason = hw::openFailureText(-4, LIBUSB_ERROR_NO_DEVICE);
            return nullptr;
        }
        const int opened = ftdi_usb_open_dev(ctx.get(), dev);
        if (opened < 0) {
            // libftdi does not say why libusb failed; ask again.
            const int reason = libusbOpenResult(dev, opened, place.interface);
            // The dispatcher logs this as the reason the open failed.
            failure->reason =
                hw::openFailureText(opened, reason) + " (" + ftdi_get_error_string(ctx.get()) + ")";
            failure->inUse = hw::usbOpenMeansInUse(opened, reason);
            return nullptr;
        }
        list.reset();
        unsigned char latency = 16;
        const bool haveLatency = ftdi_get_latency_timer(ctx.get(), &latency) >= 0;
        // As in reset(): a refused latency timer leaves the chip's own.
        const bool latencySet = ftdi_set_latency_timer(ctx.get(), kLatencyMs) >= 0;
        if (!latencySet)
            qCDebug(lcD2xx).noquote()
                << QString::fromStdString(device.description)
                << "keeps its own latency timer:" << ftdi_get_error_string(ctx.get());
        if (ftdi_set_baudrate(ctx.get(), 250000) < 0
            || ftdi_set_line_property(ctx.get(), BITS_8, STOP_BIT_2, NONE) < 0
            || ftdi_setflowctrl(ctx.get(), SIO_DISABLE_FLOW_CTRL) < 0) {
            failure->reason =
                std::string("cannot configure the device: ") + ftdi_get_error_string(ctx.get());
            ftdi_usb_close(ctx.get());
            return nullptr;
        }
        return std::make_unique<FtdiPort>(ctx.release(),
                                          device.description + " (" + device.key + ")",
                                          haveLatency && latencySet, latency);
    }

private:
    // What libusb itself says to what libftdi's open (result opened) failed
    // at: opening the device, or claiming its interface, which another
    // program's claim makes LIBUSB_ERROR_BUSY once the kernel's driver is
    // set to be detached as libftdi does. 0 when nothing was asked.
    static int libusbOpenResult(libusb_device* dev, int opened, int interface)
    {
        if (opened != -4 && opened != -5)
            return 0;
        libusb_device_handle* h = nullptr;
        int result = libusb_open(dev, &h);
        if (result == 0 && opened == -5) {
            libusb_set_auto_detach_kernel_driver(h, 1);
            result = libusb_claim_interface(h, interface);
            if (result == 0)
                libusb_release_interface(h, interface);
        }
        if (h)
            libusb_close(h);
        return result;
    }

    static void describe(libusb_device* dev, std::vector<DeviceInfo>* devices)
    {
        libusb_device_descriptor desc {};
        if (libusb_get_device_descriptor(dev, &desc) != 0)
            return;
        const hw::UsbPlace where = placeOf(dev, 0);
        libusb_device_handle* h = nullptr;
        const int opened = libusb_open(dev, &h);
        if (opened != 0) {
            // Typically no udev rule: the kernel serial backend lists the
            // device through its ttyUSB port instead.
            qCDebug(lcD2xx).noquote()
                << "libftdi: skipping USB device" << QString::fromStdString(hw::usbKey(where))
                << "whose strings cannot be read:" << libusb_error_name(opened);
            return;
        }
        std::string product, serial;
        const bool haveProduct = readString(h, desc.iProduct, &product);
        if (!readString(h, desc.iSerialNumber, &serial))
            serial.clear(); // devices without a serial number are fine
        libusb_close(h);
        if (!haveProduct)
            return;
        const int address = libusb_get_device_address(dev);
        const int count = hw::interfaceCount(hw::chipTypeFromBcd(desc.bcdDevice));
        for (int i = 0; i < count; ++i) {
            hw::UsbPlace place = where;
            place.interface = i;
            devices->push_back(hw::describeInterface(desc.idProduct, desc.bcdDevice, product,
                                                     serial, place, address));
        }
    }
};

} // namespace

Backend* ftdiBackend()
{
    static FtdiBackend backend;
    return &backend;
}

} // namespace d2xx
