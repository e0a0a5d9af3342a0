#include "core/SerialPort.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t speedOf(long baud)
{
    switch (baud) {
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 500000:
            return B500000;
        case 576000:
            return B576000;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 1152000:
            return B1152000;
        case 1500000:
            return B1500000;
        case 2000000:
            return B2000000;
        case 2500000:
            return B2500000;
        case 3000000:
            return B3000000;
        case 3500000:
            return B3500000;
        case 4000000:
            return B4000000;
        default:
            return B9600;
    }
}

void applyReadTimeout(termios& tio, int ms)
{
    if (ms == -1) {
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
    } else if (ms == 0) {
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
    } else {
        int tenths = ms / 100;
        if (tenths < 1)
            tenths = 1;
        if (tenths > 255)
            tenths = 255;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = static_cast<cc_t>(tenths);
    }
}

}  // namespace

struct SerialPort::impl
{
    int fd = -1;
    // A byte read past a line end by getline; every read hands it out first.
    int lookAhead = -1;
    termios saved{};
    termios working{};
    serial_struct savedSerial{};
    int lastErrno = 0;

    void fail() { lastErrno = errno; }

    // read(2) that retries interrupted calls; 0 means the termios time-out passed.
    ssize_t readRaw(uint8_t* buf, size_t n)
    {
        for (;;) {
            const ssize_t r = ::read(fd, buf, n);
            if (r < 0 && errno == EINTR)
                continue;
            return r;
        }
    }

    int writeAll(const uint8_t* data, size_t size)
    {
        if (fd < 0) {
            errno = EBADF;
            fail();
            return 0;
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t w = ::write(fd, data + done, size - done);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fail();
                break;
            }
            if (w == 0)
                break;
            done += static_cast<size_t>(w);
        }
        return static_cast<int>(done);
    }

    bool releaseDescriptor()
    {
        tcsetattr(fd, TCSANOW, &saved);
        const int rc = ::close(fd);
        // Linux frees the descriptor even when close reports an error; closing it again could
        // close a descriptor that another thread opened meanwhile.
        fd = -1;
        lookAhead = -1;
        if (rc != 0) {
            fail();
            return false;
        }
        return true;
    }
};

SerialPort::SerialPort() : d(new impl) {}

SerialPort::~SerialPort()
{
    if (d->fd >= 0)
        d->releaseDescriptor();
}

bool SerialPort::open(const std::string& device, int baud, int readTimeoutMs, int dataBits, int stopBits,
                      int parity)
{
    if (d->fd >= 0) {
        // Callers rely on a second open reopening: the first only closes.
        if (d->releaseDescriptor())
            return false;
    }
    int fd;
    do {
        fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        d->fail();
        return false;
    }
    if (tcgetattr(fd, &d->saved) != 0) {
        d->fail();
        ::close(fd);
        return false;
    }
    d->fd = fd;
    d->lookAhead = -1;
    ioctl(fd, TIOCGSERIAL, &d->savedSerial);
    return configure(baud, readTimeoutMs, dataBits, stopBits, parity);
}

bool SerialPort::configure(int baud, int readTimeoutMs, int dataBits, int stopBits, int parity)
{
    termios tio{};
    switch (dataBits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    if (parity == 1)
        tio.c_cflag |= PARENB;
    else if (parity == 2)
        tio.c_cflag |= PARENB | PARODD;
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~CRTSCTS;
    cfsetispeed(&tio, speedOf(baud));
    cfsetospeed(&tio, speedOf(baud));
    tio.c_iflag = IGNPAR;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    applyReadTimeout(tio, readTimeoutMs);
    d->working = tio;
    d->lookAhead = -1;
    if (tcflush(d->fd, TCIFLUSH) != 0 || tcsetattr(d->fd, TCSANOW, &d->working) != 0) {
        d->fail();
        return false;
    }
    return true;
}

bool SerialPort::close()
{
    if (d->fd < 0)
        return true;
    return d->releaseDescriptor();
}

bool SerialPort::isOpen() const
{
    return d->fd >= 0;
}

int SerialPort::writeBytes(const std::string& data)
{
    return d->writeAll(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

int SerialPort::writeBytes(const std::vector<uint8_t>& data)
{
    return d->writeAll(data.data(), data.size());
}

int SerialPort::read()
{
    if (d->lookAhead >= 0) {
        const int byte = d->lookAhead;
        d->lookAhead = -1;
        return byte;
    }
    uint8_t byte;
    if (d->readRaw(&byte, 1) != 1)
        return -1;
    return byte;
}

std::vector<uint8_t> SerialPort::readBytes(unsigned n)
{
    std::vector<uint8_t> out;
    if (n == 0)
        return out;
    out.resize(n);
    size_t got = 0;
    if (d->lookAhead >= 0) {
        out[got++] = static_cast<uint8_t>(d->lookAhead);
        d->lookAhead = -1;
    }
    while (got < n) {
        const ssize_t r = d->readRaw(out.data() + got, n - got);
        if (r < 0) {
            d->fail();
            return {};
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
}

std::string SerialPort::getline()
{
    std::string line;
    int terminator = -1;
    for (;;) {
        const int c = read();
        if (c < 0)
            return line;
        if (c == '\r' || c == '\n') {
            terminator = c;
            break;
        }
        line.push_back(static_cast<char>(c));
    }
    int pending = 0;
    if (ioctl(d->fd, FIONREAD, &pending) != 0) {
        d->fail();
        return line;
    }
    if (pending <= 0)
        return line;
    uint8_t next;
    if (d->readRaw(&next, 1) != 1)
        return line;
    const int pair = terminator == '\r' ? '\n' : '\r';
    if (next != pair)
        d->lookAhead = next;
    return line;
}

bool SerialPort::setBaudrate(unsigned baud)
{
    termios tio{};
    if (tcgetattr(d->fd, &tio) != 0) {
        d->fail();
        return false;
    }
    const speed_t speed = speedOf(static_cast<long>(baud));
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(d->fd, TCSANOW, &tio) != 0) {
        d->fail();
        return false;
    }
    d->working = tio;
    return true;
}

bool SerialPort::setReadTimeout(int ms)
{
    termios tio{};
    if (tcgetattr(d->fd, &tio) != 0) {
        d->fail();
        return false;
    }
    applyReadTimeout(tio, ms);
    if (tcsetattr(d->fd, TCSANOW, &tio) != 0) {
        d->fail();
        return false;
    }
    d->working = tio;
    return true;
}

bool SerialPort::setLowLatency(bool on)
{
    serial_struct ss{};
    if (ioctl(d->fd, TIOCGSERIAL, &ss) != 0) {
        d->fail();
        return false;
    }
    if (on)
        ss.flags |= ASYNC_LOW_LATENCY;
    else
        ss.flags &= ~ASYNC_LOW_LATENCY;
    if (ioctl(d->fd, TIOCSSERIAL, &ss) != 0) {
        d->fail();
        return false;
    }
    return true;
}

bool SerialPort::flush()
{
    d->lookAhead = -1;
    if (tcflush(d->fd, TCIOFLUSH) != 0) {
        d->fail();
        return false;
    }
    return true;
}

std::string SerialPort::errorStr() const
{
    return strerror(d->lastErrno);
}

int SerialPort::lastError() const
{
    return d->lastErrno;
}

int SerialPort::getUnderlying()
{
    return d->fd;
}
