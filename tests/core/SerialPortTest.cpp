// SerialPort against a pseudo-terminal: the test holds the master side and plays the device.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "core/Clock.h"
#include "core/SerialPort.h"

namespace {

using Bytes = std::vector<uint8_t>;

class PseudoTerminal : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[128] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0) << strerror(errno);
        path = name;
    }

    void TearDown() override
    {
        port.close();
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }

    void deviceSends(const std::string& bytes)
    {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        // The line discipline hands bytes to the slave asynchronously; wait until they are there.
        ASSERT_TRUE(testsupport::eventually([&] {
            int pending = 0;
            ioctl(port.getUnderlying(), FIONREAD, &pending);
            return pending >= static_cast<int>(bytes.size());
        }));
    }

    std::string deviceReceives(size_t n)
    {
        std::string got;
        while (got.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0)
                break;
            char buf[256];
            const ssize_t r = ::read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }

    termios portSettings()
    {
        termios tio{};
        EXPECT_EQ(tcgetattr(port.getUnderlying(), &tio), 0);
        return tio;
    }

    int master = -1;
    int slave = -1;
    std::string path;
    SerialPort port;
};

TEST_F(PseudoTerminal, LineEndIsSplitFromTheBytesThatFollowItInTheSameWrite)
{
    ASSERT_TRUE(port.open(path, 115200, 300, 8, 1, 0)) << port.errorStr();
    deviceSends("AB\rXYZ");
    EXPECT_EQ(port.getline(), "AB");
    const Bytes rest = port.readBytes(3);
    EXPECT_EQ(std::string(rest.begin(), rest.end()), "XYZ");

    deviceSends("AB\rX");
    EXPECT_EQ(port.getline(), "AB");
    EXPECT_EQ(port.read(), 'X');
}

TEST_F(PseudoTerminal, CrLfAndLfCrPairsEndOneLineEach)
{
    ASSERT_TRUE(port.open(path, 115200, 300, 8, 1, 0)) << port.errorStr();
    deviceSends("AB\r\nCD\n");
    EXPECT_EQ(port.getline(), "AB");
    EXPECT_EQ(port.getline(), "CD");

    deviceSends("EF\n\rGH\r");
    EXPECT_EQ(port.getline(), "EF");
    EXPECT_EQ(port.getline(), "GH");

    // Two CRs are two line ends: the second is not the partner of the first.
    deviceSends("IJ\r\rKL\n");
    EXPECT_EQ(port.getline(), "IJ");
    EXPECT_EQ(port.getline(), "");
    EXPECT_EQ(port.getline(), "KL");
}

TEST_F(PseudoTerminal, TimeOutEndsReadsWithWhatArrived)
{
    ASSERT_TRUE(port.open(path, 9600, 200, 8, 1, 0)) << port.errorStr();
    deviceSends("1234");
    double start = Clock::monotonicMillis();
    const Bytes got = port.readBytes(10);
    EXPECT_EQ(got, (Bytes{'1', '2', '3', '4'}));
    EXPECT_GE(Clock::elapsedMonotonicMillis(start), 150.0);

    deviceSends("partial");
    EXPECT_EQ(port.getline(), "partial");

    start = Clock::monotonicMillis();
    EXPECT_EQ(port.read(), -1);
    EXPECT_GE(Clock::elapsedMonotonicMillis(start), 150.0);
    EXPECT_TRUE(port.readBytes(5).empty());
    EXPECT_TRUE(port.readBytes(0).empty());
}

TEST_F(PseudoTerminal, LookAheadByteIsDroppedByFlush)
{
    ASSERT_TRUE(port.open(path, 9600, 100, 8, 1, 0)) << port.errorStr();
    deviceSends("A\rZ");
    EXPECT_EQ(port.getline(), "A");
    EXPECT_TRUE(port.flush());
    EXPECT_EQ(port.read(), -1);
}

TEST_F(PseudoTerminal, OpenGivesRawSettingsAndMapsUnlistedSpeedsTo9600)
{
    ASSERT_TRUE(port.open(path, 9600, -1, 8, 1, 0)) << port.errorStr();
    termios tio = portSettings();
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | INLCR), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);

    struct Case
    {
        unsigned baud;
        speed_t speed;
    };
    for (const Case c :
         {Case{14400, B9600}, Case{4800, B9600}, Case{0, B9600}, Case{19200, B19200}, Case{115200, B115200},
          Case{921600, B921600}, Case{4000000, B4000000}, Case{4000001, B9600}}) {
        ASSERT_TRUE(port.setBaudrate(c.baud)) << port.errorStr();
        tio = portSettings();
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.baud;
        EXPECT_EQ(cfgetispeed(&tio), c.speed) << c.baud;
    }
}

TEST_F(PseudoTerminal, FramingAndTimeOutArgumentsReachTheSettings)
{
    ASSERT_TRUE(port.open(path, 57600, 50, 7, 2, 2)) << port.errorStr();
    termios tio = portSettings();
    // A pty forces CS8 and clears PARENB whatever is asked; the bits it keeps show the request.
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & PARODD, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);  // 50 ms rounds up to the smallest step

    struct Case
    {
        int ms;
        int vmin;
        int vtime;
    };
    for (const Case c : {Case{1000, 0, 10}, Case{30000, 0, 255}, Case{0, 0, 0}, Case{-1, 1, 0},
                         Case{-5, 0, 1}, Case{250, 0, 2}}) {
        ASSERT_TRUE(port.setReadTimeout(c.ms));
        tio = portSettings();
        EXPECT_EQ(tio.c_cc[VMIN], c.vmin) << c.ms;
        EXPECT_EQ(tio.c_cc[VTIME], c.vtime) << c.ms;
    }

    ASSERT_TRUE(port.configure(9600, 0, 5, 1, 1));
    tio = portSettings();
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), 0u);  // nothing of the previous settings survives
    EXPECT_EQ(cfgetospeed(&tio), B9600);
}

TEST_F(PseudoTerminal, WritesReachTheDeviceWhole)
{
    ASSERT_TRUE(port.open(path, 115200, 100, 8, 1, 0)) << port.errorStr();
    EXPECT_EQ(port.writeBytes(std::string("\x02hello\r", 7)), 7);
    EXPECT_EQ(deviceReceives(7), std::string("\x02hello\r", 7));

    // Larger than the pty's buffer: only whole-write looping gets it all out while the device reads.
    Bytes big(20000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    std::string received;
    std::thread device([&] { received = deviceReceives(big.size()); });
    EXPECT_EQ(port.writeBytes(big), static_cast<int>(big.size()));
    device.join();
    EXPECT_EQ(received, std::string(big.begin(), big.end()));
    EXPECT_EQ(port.writeBytes(Bytes{}), 0);
}

TEST_F(PseudoTerminal, OpenAndCloseLifecycle)
{
    EXPECT_TRUE(port.close());  // closing a closed port is fine
    EXPECT_EQ(port.getUnderlying(), -1);
    ASSERT_TRUE(port.open(path, 9600, -1, 8, 1, 0));
    EXPECT_TRUE(port.isOpen());

    // A second open only closes; the third opens again.
    EXPECT_FALSE(port.open(path, 9600, -1, 8, 1, 0));
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.getUnderlying(), -1);
    ASSERT_TRUE(port.open(path, 9600, 100, 8, 1, 0));

    const int fd = port.getUnderlying();
    EXPECT_TRUE(port.close());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor is really gone
    EXPECT_TRUE(port.close());

    // Reads and writes on a closed port fail without touching any descriptor.
    EXPECT_EQ(port.read(), -1);
    EXPECT_EQ(port.writeBytes(std::string("x")), 0);
    EXPECT_EQ(port.lastError(), EBADF);
}

TEST(SerialPort, MissingDeviceReportsTheSystemText)
{
    SerialPort port;
    EXPECT_FALSE(port.open("/dev/no-such-tty-here", 9600, -1, 8, 1, 0));
    EXPECT_EQ(port.errorStr(), strerror(ENOENT));
    EXPECT_EQ(port.lastError(), ENOENT);

    // Not a tty: the termios read fails and the descriptor is not kept.
    EXPECT_FALSE(port.open("/dev/null", 9600, -1, 8, 1, 0));
    EXPECT_EQ(port.lastError(), ENOTTY);
    EXPECT_FALSE(port.isOpen());
}

}  // namespace
